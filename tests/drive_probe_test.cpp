#include "tests/dll_fixture.h"

#include <cstdlib>

#include "module/drive_probe.h"
#include "module/settings.h"
#include "module/win_handles.h"

namespace {

// A share as Wine serves \\server\share\...: a folder of the prefix's
// dosdevices\unc, written here through drive Z:, the Unix root.
class RemoteOverlay : public DllTest {
  protected:
    void SetUp() override {
        DllTest::SetUp();
        const char *prefix = getenv("WINEPREFIX");
        ASSERT_NE(nullptr, prefix) << "WINEPREFIX is not set: Wine serves shares from the prefix";
        std::string unc = "Z:" + std::string(prefix) + "\\dosdevices\\unc";
        for (char &c : unc)
            if (c == '/')
                c = '\\';
        created_ = path_exists(unc) ? unc + "\\qvserver" : unc;
        for (const std::string &folder : {unc, unc + "\\qvserver", unc + "\\qvserver\\qvshare"})
            CreateDirectoryA(folder.c_str(), nullptr);
        local_share_ = unc + "\\qvserver\\qvshare\\";
        ASSERT_TRUE(write_whole_file(local_share_ + "seen.txt", "x"));
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"\\\\qvserver\\qvshare\\seen.txt"))
            << "Wine does not resolve \\\\qvserver\\qvshare to " << local_share_;
        // The key as installation leaves it, without the value.
        ScopedRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0, nullptr,
                                                 0, KEY_SET_VALUE, nullptr, key.receive(), nullptr));
        RegDeleteValueA(key.get(), probe_all_drives_value_name);
    }
    void TearDown() override {
        delete_tree(created_);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, settings_key_path);
        DllTest::TearDown();
    }

    // The path on the share of a file described with `kind` there.
    std::string described_on_share(const std::string &name, int kind) {
        EXPECT_TRUE(write_whole_file(local_share_ + name, "data"));
        write_stream(local_share_ + name, kind, "on the server");
        return "\\\\qvserver\\qvshare\\" + name;
    }

    std::string created_;
    std::string local_share_;
};

// Turning the setting on and off again in one process: nothing the overlays
// answered while it was off stands in the way, and what the index knows
// still shows while it is off.
TEST_F(RemoteOverlay, UnknownItemsOfAShareAreOpenedOnlyWhenProbingIsOn) {
    std::string first = described_on_share("first.txt", 4);
    std::string second = described_on_share("second.txt", 4);
    struct phase {
        const char *name;
        bool probe_all;
        const std::string &path;
        HRESULT answer;
        bool indexed;
    } phases[] = {
        {"off: an unknown item is not opened", false, first, S_FALSE, false},
        {"on: the same item is read and indexed", true, first, S_OK, true},
        {"off again: the indexed item keeps its marker", false, first, S_OK, true},
        {"off again: another unknown item is not opened", false, second, S_FALSE, false},
    };
    bool probing = false;
    for (const phase &step : phases) {
        SCOPED_TRACE(step.name);
        if (step.probe_all != probing) {
            ASSERT_EQ(0u, set_setting(probe_all_drives_value_name, step.probe_all));
            Sleep(drive_probe_refresh_ms + 300);
            probing = step.probe_all;
        }
        EXPECT_EQ(step.answer, is_member(4, step.path));
        EXPECT_EQ(step.indexed, index_file_bytes().find(step.path) != std::string::npos);
    }
}

} // namespace
