#include "tests/dll_fixture.h"

#include <winioctl.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "module/drive_probe.h"
#include "module/settings.h"
#include "module/win_handles.h"

namespace {

// A drive-letter request to Wine's mount manager, as winecfg makes it (the
// layout of Wine's struct mountmgr_unix_drive); type DRIVE_NO_ROOT_DIR
// removes the letter.
struct wine_unix_drive {
    ULONG size, type, fs_type;
    DWORD serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset, device_offset, label_offset;
};

bool define_wine_drive(wchar_t letter, UINT type, const std::string &unix_folder) {
    wine_unix_drive drive = {};
    std::vector<char> request(sizeof(drive));
    if (type != DRIVE_NO_ROOT_DIR) {
        drive.mount_point_offset = sizeof(drive);
        request.insert(request.end(), unix_folder.begin(), unix_folder.end());
        request.push_back('\0');
    }
    drive.size = static_cast<ULONG>(request.size());
    drive.type = type;
    drive.letter = letter;
    memcpy(request.data(), &drive, sizeof(drive));
    ScopedFile manager(CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
    DWORD returned = 0;
    return manager.valid() &&
           DeviceIoControl(
               manager.get(),
               CTL_CODE(0x6D, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
               request.data(), static_cast<DWORD>(request.size()), nullptr, 0, &returned, nullptr);
}

// A share as Wine serves \\server\share\...: a folder of the prefix's
// dosdevices\unc, written here through drive Z:, the Unix root. The same
// folder is mounted as a network drive too.
class RemoteOverlay : public DllTest {
  protected:
    void SetUp() override {
        DllTest::SetUp();
        const char *prefix = getenv("WINEPREFIX");
        ASSERT_NE(nullptr, prefix) << "WINEPREFIX is not set: Wine serves shares from the prefix";
        std::string unix_unc = std::string(prefix) + "/dosdevices/unc";
        std::string unc = "Z:" + unix_unc;
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

        for (wchar_t letter = L'Q'; letter <= L'Y' && !drive_; ++letter)
            if (GetDriveTypeW((std::wstring(1, letter) + L":\\").c_str()) == DRIVE_NO_ROOT_DIR)
                drive_ = letter;
        ASSERT_NE(0, drive_) << "no free drive letter";
        ASSERT_TRUE(define_wine_drive(drive_, DRIVE_REMOTE, unix_unc + "/qvserver/qvshare"))
            << "Wine's mount manager defines no network drive: " << GetLastError();
        ASSERT_EQ(static_cast<UINT>(DRIVE_REMOTE),
                  GetDriveTypeW((std::wstring(1, drive_) + L":\\").c_str()));

        // The key as installation leaves it, without the value.
        ScopedRegKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, key.receive(), nullptr));
        RegDeleteValueA(key.get(), probe_all_drives_value_name);
    }
    void TearDown() override {
        if (drive_) {
            EXPECT_TRUE(define_wine_drive(drive_, DRIVE_NO_ROOT_DIR, ""));
        }
        delete_tree(created_);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, settings_key_path);
        DllTest::TearDown();
    }

    // A file described with `kind` on the share, by its share path and by
    // its path on the network drive.
    std::pair<std::string, std::string> described_on_share(const std::string &name, int kind) {
        EXPECT_TRUE(write_whole_file(local_share_ + name, "data"));
        write_stream(local_share_ + name, kind, "on the server");
        return {"\\\\qvserver\\qvshare\\" + name,
                std::string(1, static_cast<char>(drive_)) + ":\\" + name};
    }

    std::string created_;
    std::string local_share_;
    wchar_t drive_ = 0;
};

// Turning the setting on and off again in one process: nothing the overlays
// answered while it was off stands in the way, and what the index knows
// still shows while it is off.
TEST_F(RemoteOverlay, UnknownItemsOfNetworkDrivesAreOpenedOnlyWhenProbingIsOn) {
    auto first = described_on_share("first.txt", 4);
    auto second = described_on_share("second.txt", 4);
    struct phase {
        const char *name;
        bool probe_all;
        const std::pair<std::string, std::string> &item;
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
        if (step.probe_all != probing) {
            ASSERT_EQ(0u, set_setting(probe_all_drives_value_name, step.probe_all));
            Sleep(drive_probe_refresh_ms + 300);
            probing = step.probe_all;
        }
        for (const std::string &path : {step.item.first, step.item.second}) {
            SCOPED_TRACE(std::string(step.name) + ": " + path);
            EXPECT_EQ(step.answer, is_member(4, path));
            EXPECT_EQ(step.indexed, index_file_bytes().find(path) != std::string::npos);
        }
    }
}

} // namespace
