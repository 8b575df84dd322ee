#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <thread>
#include <vector>

#include "module/module_start_up.h"
#include "store/info_holder.h"
#include "tests/test_support.h"

namespace {

// Each test loads the built DLL from its own ...\Tools\ folder and runs the
// start-up for that module, so resources and paths are the DLL's own.
class ModuleStartUp : public ::testing::Test {
  protected:
    void SetUp() override {
        tools_ = temp_.path() + "Tools\\";
        ASSERT_TRUE(CreateDirectoryA(tools_.c_str(), nullptr));
        dll_ = load_built_dll_from(tools_);
        ASSERT_NE(nullptr, dll_) << "error " << GetLastError();
    }
    void TearDown() override {
        if (dll_)
            FreeLibrary(dll_);
    }

    std::string icon_file(int i, const char *extension) const {
        return tools_ + "images\\icon" + std::to_string(i) + "." + extension;
    }

    TempFolder temp_;
    std::string tools_;
    HMODULE dll_ = nullptr;
};

TEST_F(ModuleStartUp, WritesTheLargeIconSetOnVersionSixOrLater) {
    module_start_up(dll_);

    ASSERT_GE(os_major_version, 6u);
    EXPECT_EQ(tools_, module_folder);
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY,
              GetFileAttributesA((tools_ + "images").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    for (int i = 0; i < 6; ++i) {
        std::string bytes;
        ASSERT_TRUE(read_whole_file(icon_file(i, "png"), bytes)) << i;
        std::string resource = rcdata_bytes(dll_, 241 + i);
        ASSERT_GT(resource.size(), 6u);
        EXPECT_TRUE(bytes == resource) << "icon" << i << ".png differs from resource " << 241 + i;
        EXPECT_FALSE(path_exists(icon_file(i, "ico")));

        std::wstring expected_path(tools_.begin(), tools_.end());
        expected_path += L"images\\icon" + std::to_wstring(i) + L".png";
        EXPECT_EQ(expected_path, overlay_table[i].icon_path);
    }
}

TEST_F(ModuleStartUp, LeavesExistingIconFilesUntouched) {
    ASSERT_TRUE(CreateDirectoryA((tools_ + "images").c_str(), nullptr));
    const std::string damaged = "not an icon at all";
    ASSERT_TRUE(write_whole_file(icon_file(2, "png"), damaged));
    ASSERT_TRUE(write_whole_file(icon_file(4, "png"), ""));

    module_start_up(dll_);

    std::string bytes;
    ASSERT_TRUE(read_whole_file(icon_file(2, "png"), bytes));
    EXPECT_EQ(damaged, bytes);
    ASSERT_TRUE(read_whole_file(icon_file(4, "png"), bytes));
    EXPECT_EQ("", bytes);
    ASSERT_TRUE(read_whole_file(icon_file(3, "png"), bytes));
    EXPECT_TRUE(bytes == rcdata_bytes(dll_, 244));
    EXPECT_TRUE(extract_overlay_icons());
}

TEST_F(ModuleStartUp, ReportsNoIconWhenTheImagesFolderCannotBeMade) {
    // A file where the folder should be: nothing can be written below it.
    ASSERT_TRUE(write_whole_file(tools_ + "images", "x"));
    module_start_up(dll_);
    EXPECT_FALSE(extract_overlay_icons());
    EXPECT_FALSE(path_exists(icon_file(0, "png")));
}

TEST_F(ModuleStartUp, FillsTheProcessWideValues) {
    module_start_up(dll_);

    EXPECT_EQ(dll_, module_instance);
    ASSERT_NE('\0', module_folder[0]);
    EXPECT_EQ('\\', module_folder[strlen(module_folder) - 1]);

    char common[MAX_PATH];
    ASSERT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common));
    EXPECT_EQ(std::string(common) + "\\Quillarvent\\files.dat", index_path);

    EXPECT_STREQ("{4B2E1A39-9C7D-4E21-8F3A-6D5B2C1E0F9A}", main_clsid_text);
    EXPECT_STREQ("{9E4F7B21-3A6C-4D58-B1E2-7F0A9C3D5E64}", column_clsid_text);
    for (int i = 0; i < 6; ++i) {
        CLSID parsed;
        wchar_t wide[39];
        MultiByteToWideChar(CP_ACP, 0, overlay_table[i].clsid_text, -1, wide, 39);
        ASSERT_EQ(S_OK, CLSIDFromString(wide, &parsed)) << i;
        EXPECT_TRUE(IsEqualGUID(parsed, overlay_table[i].clsid)) << i;
        EXPECT_EQ(0x4B2E1A30u + i, overlay_table[i].clsid.Data1);
    }
    EXPECT_STREQ("{4B2E1A33-9C7D-4E21-8F3A-6D5B2C1E0F9A}", overlay_table[3].clsid_text);

    EXPECT_EQ(GetStockObject(DEFAULT_GUI_FONT), default_gui_font);
    EXPECT_EQ(GetSysColor(COLOR_MENU), menu_colour);
}

TEST_F(ModuleStartUp, LoadsTheIndexAndKnowsTheFloppyRootHasNoDescription) {
    char common[MAX_PATH];
    ASSERT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common));
    std::string folder = std::string(common) + "\\Quillarvent";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string record;
    item_info(2, L"C:\\described.txt").save_record(record);
    ASSERT_TRUE(write_whole_file(folder + "\\files.dat", record));

    module_start_up(dll_);
    delete_tree(folder);

    EXPECT_EQ(CInfoHolder::entry_state::not_described, info_holder.lookup(L"A:\\"));
    EXPECT_EQ(CInfoHolder::entry_state::unknown, info_holder.lookup(L"A:"));
    EXPECT_EQ(2, info_holder.get_icon_kind(L"C:\\described.txt"));
}

// The first exported calls may arrive on several shell threads at once: one
// runs the start-up, the others wait for it and then see its results.
TEST_F(ModuleStartUp, RunsOnceWhenManyThreadsArriveTogether) {
    record_module_instance(dll_);
    ASSERT_EQ(0, module_start_up_runs());

    const int thread_count = 8;
    volatile LONG waiting = thread_count;
    std::vector<std::thread> threads;
    std::vector<std::string> seen(thread_count);
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back([&, t] {
            InterlockedDecrement(&waiting);
            while (waiting > 0)
                YieldProcessor();
            ensure_module_started();
            seen[t] = module_folder;
        });
    for (auto &thread : threads)
        thread.join();

    EXPECT_EQ(1, module_start_up_runs());
    for (const auto &folder : seen)
        EXPECT_EQ(tools_, folder);
    ensure_module_started();
    EXPECT_EQ(1, module_start_up_runs());
}

// Run by the legacy_os test, whose copy of this program Wine tells that it
// runs on Windows XP.
TEST_F(ModuleStartUp, LegacyOsWritesTheSmallIconSet) {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExA(&info));
    ASSERT_LT(info.dwMajorVersion, 6u) << "run this case through the legacy_os test";

    module_start_up(dll_);

    EXPECT_EQ(info.dwMajorVersion, os_major_version);
    for (int i = 0; i < 6; ++i) {
        std::string bytes;
        ASSERT_TRUE(read_whole_file(icon_file(i, "ico"), bytes)) << i;
        EXPECT_TRUE(bytes == rcdata_bytes(dll_, 225 + i)) << "icon" << i << ".ico";
        EXPECT_FALSE(path_exists(icon_file(i, "png")));
    }
}

} // namespace
