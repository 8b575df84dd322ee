#include <gtest/gtest.h>

#include <objbase.h>
#include <msxml2.h>
#include <oleauto.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "module/class_ids.h"
#include "module/info_tip_types.h"
#include "module/module_start_up.h"
#include "module/registration.h"
#include "shell/property_handler.h"
#include "store/info_tip_registration.h"
#include "store/item_info.h"
#include "tests/message_box_catcher.h"
#include "tests/test_support.h"

namespace {

const char install_folder[] = "C:\\Program Files\\Quillarvent\\";
const char base_folder[] = "C:\\Program Files\\";
const GUID type_library_id = {
    0x5F3A9C24, 0x7B1E, 0x4D86, {0xA2, 0xC9, 0x8E, 0x4B, 0x6D, 0x1F, 0x3A, 0x57}};

std::string value_of(HKEY root, const std::string &key, const char *name = nullptr) {
    char value[1024] = "";
    DWORD size = sizeof(value) - 1, type = 0;
    HKEY opened;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return "<no key>";
    LONG result =
        RegQueryValueExA(opened, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(opened);
    return result == ERROR_SUCCESS ? std::string(value) : "<no value>";
}

bool key_exists(HKEY root, const std::string &key) {
    HKEY opened;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

std::vector<std::string> extensions() {
    std::vector<std::string> names;
    char name[1024];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof(name);
        LONG result =
            RegEnumKeyExA(HKEY_CLASSES_ROOT, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            return names;
        if (result == ERROR_SUCCESS && name[0] == '.')
            names.emplace_back(name, length);
    }
}

std::string clsid_text(const GUID &clsid) {
    wchar_t text[40];
    StringFromGUID2(clsid, text, 40);
    std::string out;
    for (wchar_t *c = text; *c; ++c)
        out += static_cast<char>(*c);
    return out;
}

const char run_once_key[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

std::string windows_folder() {
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    return windows;
}

// The command that removes the program files of `folder` (no trailing
// backslash) and then the folder, if nothing else is left in it.
std::string removal_command(const std::string &folder, bool with_icons) {
    std::string command = windows_folder() + "\\System32\\cmd.exe /c (for %F in (\"" + folder +
                          "\\plivar_23.dll\" \"" + folder + "\\quillarvent_registry.exe\" \"" +
                          folder + "\\quillarvent.exe\" \"" + folder + "\\quillarvent.propdesc\"";
    for (int kind = 0; with_icons && kind < 6; ++kind)
        command += " \"" + folder + "\\images\\icon" + std::to_string(kind) + ".png\"";
    return command + ") do @if not exist \"%~fF\\*\" del /q \"%~fF\") & rd \"" + folder +
           "\\images\" & rd \"" + folder + "\"";
}

// Takes the scheduled command out of RunOnce, so that no later start of the
// prefix runs it.
std::string take_scheduled_command() {
    std::string command = value_of(HKEY_LOCAL_MACHINE, run_once_key, "dele");
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, run_once_key, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "dele");
        RegCloseKey(key);
    }
    return command;
}

std::wstring wide_of(const std::string &ansi) {
    return std::wstring(ansi.begin(), ansi.end());
}

// Names the older installation used, put where registration must not reach.
void plant_older_names(const std::string &folder) {
    CreateDirectoryA((folder + "images").c_str(), nullptr);
    for (const char *name : {"images\\photo.png", "help.htm", "setting.dat", "zanq.dll"})
        ASSERT_TRUE(write_whole_file(folder + name, "not the product's"));
}

void expect_older_names(const std::string &folder) {
    for (const char *name : {"images\\photo.png", "help.htm", "setting.dat", "zanq.dll"})
        EXPECT_TRUE(path_exists(folder + name)) << folder << name;
}

// Installs the built files where a setup program would put them and
// registers them with Wine's regsvr32; unregisters and removes them after.
class Registration : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        char common[MAX_PATH];
        SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common);
        config_ = std::string(common) + "\\Quillarvent";
        delete_tree(config_);
        delete_tree(install_folder);
        ASSERT_TRUE(CreateDirectoryA(install_folder, nullptr));
        for (const char *file : {"plivar_23.dll", "quillarvent_registry.exe", "quillarvent.exe",
                                 "quillarvent.propdesc"})
            ASSERT_TRUE(CopyFileA((build_output_folder() + file).c_str(),
                                  (std::string(install_folder) + file).c_str(), FALSE));
    }
    void TearDown() override {
        if (key_exists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + main_clsid_text))
            unregister(IDNO);
        delete_tree(install_folder);
        delete_tree(config_);
        CoUninitialize();
    }

    // Run from a folder of its own: nothing there may be touched.
    DWORD regsvr32(const std::string &arguments, const std::string &library = std::string()) {
        std::string command =
            "C:\\windows\\system32\\regsvr32.exe /s " + arguments + " \"" +
            (library.empty() ? install_folder + std::string("plivar_23.dll") : library) + "\"";
        return run_program(command, 60000, elsewhere_.path());
    }
    DWORD register_dll() { return regsvr32(""); }
    std::string unregister(int answer) {
        MessageBoxCatcher catcher("Remove descriptions ?", answer);
        EXPECT_EQ(0u, regsvr32("/u"));
        return catcher.text();
    }

    std::string config_;
    TempFolder elsewhere_;
};

TEST_F(Registration, WritesEveryEntryAndAnotherProcessCanUseTheClasses) {
    ASSERT_EQ(0u, register_dll());
    std::string module = std::string(install_folder) + "plivar_23.dll";
    std::vector<GUID> classes = {main_clsid, column_clsid};
    for (int kind = 0; kind < 6; ++kind)
        classes.push_back(overlay_clsid(kind));
    for (const GUID &clsid : classes) {
        std::string key = "CLSID\\" + clsid_text(clsid) + "\\InprocServer32";
        EXPECT_EQ(module, value_of(HKEY_CLASSES_ROOT, key)) << key;
        EXPECT_EQ("Both", value_of(HKEY_CLASSES_ROOT, key, "ThreadingModel")) << key;
    }
    EXPECT_EQ("CInfoTip Class",
              value_of(HKEY_CLASSES_ROOT, std::string("CLSID\\") + main_clsid_text));
    for (const char *root : {"*", "Folder"}) {
        EXPECT_EQ(main_clsid_text,
                  value_of(HKEY_CLASSES_ROOT,
                           std::string(root) + "\\ShellEx\\ContextMenuHandlers\\Quillarvent"));
        EXPECT_EQ("Quillarvent",
                  value_of(HKEY_CLASSES_ROOT,
                           std::string(root) + "\\ShellEx\\ColumnHandlers\\" + column_clsid_text));
    }
    const char approved[] =
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
    for (int kind = 0; kind < 6; ++kind) {
        std::string id = clsid_text(overlay_clsid(kind));
        EXPECT_EQ("Quillarvent", value_of(HKEY_LOCAL_MACHINE, approved, id.c_str()));
        EXPECT_EQ(id, value_of(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\E"
                                                   "xplorer\\ShellIconOverlayIdentifiers\\" +
                                                       std::to_string(kind) + "Quillarvent"));
    }
    EXPECT_EQ("Quillarvent", value_of(HKEY_LOCAL_MACHINE, approved, main_clsid_text));
    EXPECT_EQ("<no value>", value_of(HKEY_LOCAL_MACHINE, approved, column_clsid_text));

    ITypeLib *library = nullptr;
    EXPECT_EQ(S_OK, LoadRegTypeLib(type_library_id, 1, 0, 1033, &library));
    if (library)
        library->Release();

    for (const std::string &type : extensions())
        EXPECT_EQ(
            main_clsid_text,
            value_of(HKEY_CLASSES_ROOT, type + "\\shellex\\{00021500-0000-0000-C000-000000000046}"))
            << type;
    EXPECT_EQ(main_clsid_text, value_of(HKEY_CLASSES_ROOT,
                                        "Folder\\shellex\\{00021500-0000-0000-C000-000000000046}"));
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, "software\\Quillarvent"));
    std::string index;
    ASSERT_TRUE(read_whole_file(config_ + "\\files.dat", index));
    EXPECT_EQ("", index);

    for (const GUID &clsid : classes) {
        IUnknown *object = nullptr;
        EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                         reinterpret_cast<void **>(&object)));
        if (object)
            object->Release();
    }
    IShellIconOverlayIdentifier *overlay = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(overlay_clsid(3), nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IShellIconOverlayIdentifier,
                                     reinterpret_cast<void **>(&overlay)));
    int priority = 0;
    EXPECT_EQ(S_OK, overlay->GetPriority(&priority));
    EXPECT_EQ(20, priority);
    overlay->Release();

    // A second registration keeps the index as it is.
    std::string record;
    item_info(1, L"C:\\kept.txt").save_record(record);
    ASSERT_TRUE(write_whole_file(config_ + "\\files.dat", record));
    ASSERT_EQ(0u, register_dll());
    ASSERT_TRUE(read_whole_file(config_ + "\\files.dat", index));
    EXPECT_EQ(record, index);
}

// Answering No, and the silent uninstall's "regsvr32 /u /n /i:keep", which
// must not ask at all, leave the same behind.
TEST_F(Registration, UnregisteringWithNoKeepsDescriptions) {
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "/u /n /i:keep" : "/u, answered No");
        ASSERT_EQ(0u, register_dll());
        RegSetValueA(HKEY_CLASSES_ROOT, ".qvx\\shellex\\OtherHandler", REG_SZ, "{other}", 7);
        RegSetValueA(HKEY_CLASSES_ROOT, ".qvx\\shellex\\{00021500-0000-0000-C000-000000000046}",
                     REG_SZ, main_clsid_text, sizeof(main_clsid_text));
        std::string file = std::string(install_folder) + "..\\described.txt";
        ASSERT_TRUE(write_whole_file(file, "x"));
        ASSERT_TRUE(write_whole_file(file + ":plivar", std::string("\0\0\0\0kept", 8)));

        if (silent) {
            MessageBoxWatch questions("Remove descriptions ?");
            EXPECT_EQ(0u, regsvr32("/u /n /i:keep"));
            EXPECT_EQ(0, questions.count());
        } else {
            EXPECT_EQ("Remove all descriptions ?", unregister(IDNO));
        }
        EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + main_clsid_text));
        EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "*\\ShellEx\\ContextMenuHandlers\\Quillarvent"));
        EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, "*\\ShellEx\\ContextMenuHandlers"));
        EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, "software\\Quillarvent"));
        EXPECT_EQ("<no key>", value_of(HKEY_CLASSES_ROOT,
                                       ".txt\\shellex\\{00021500-0000-0000-C000-000000000046}"));
        EXPECT_FALSE(
            key_exists(HKEY_CLASSES_ROOT, ".qvx\\shellex\\{00021500-0000-0000-C000-000000000046}"));
        EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, ".qvx\\shellex\\OtherHandler"));
        ITypeLib *library = nullptr;
        EXPECT_NE(S_OK, LoadRegTypeLib(type_library_id, 1, 0, 1033, &library));
        EXPECT_TRUE(path_exists(config_ + "\\files.dat"));
        EXPECT_TRUE(path_exists(file + ":plivar"));

        EXPECT_EQ(removal_command("C:\\Program Files\\Quillarvent", true),
                  take_scheduled_command());
        RegDeleteTreeA(HKEY_CLASSES_ROOT, ".qvx");
        DeleteFileA((file + ":plivar").c_str());
        DeleteFileA(file.c_str());
    }
}

// Yes removes the streams of the indexed items, and no record a user
// planted makes the administrator's process connect to a pipe.
TEST_F(Registration, UnregisteringWithYesRemovesEveryIndexedDescription) {
    ASSERT_EQ(0u, register_dll());
    std::string index;
    std::vector<std::string> files;
    const char pipe_name[] = "\\\\.\\pipe\\quillarvent_uninstall_probe";
    HANDLE pipe =
        CreateNamedPipeA(pipe_name, PIPE_ACCESS_DUPLEX, PIPE_NOWAIT, 8, 64, 64, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
    for (int i = 0; i < 4; ++i) {
        files.push_back(i == 3 ? std::string(pipe_name)
                               : std::string(base_folder) + "described" + std::to_string(i) +
                                     ".txt");
        if (i < 3) {
            ASSERT_TRUE(write_whole_file(files.back(), "x"));
            ASSERT_TRUE(
                write_whole_file(files.back() + ":plivar", std::string("\0\0\0\0text", 8)));
        }
        std::wstring wide(files.back().begin(), files.back().end());
        uint32_t key = 0;
        for (wchar_t c : wide)
            key = key * 33 + c;
        uint32_t marker = 0xC001DEEC, length = static_cast<uint32_t>(files.back().size());
        index.append(reinterpret_cast<const char *>(&marker), 4);
        index.append(reinterpret_cast<const char *>(&key), 4);
        index.append(reinterpret_cast<const char *>(&length), 4);
        index += files.back();
        index.append(12, '\0');
    }
    ASSERT_TRUE(write_whole_file(config_ + "\\files.dat", index));

    EXPECT_EQ("Remove all descriptions ?", unregister(IDYES));
    files.pop_back();
    for (const auto &file : files) {
        EXPECT_FALSE(path_exists(file + ":plivar")) << file;
        DeleteFileA(file.c_str());
    }
    EXPECT_FALSE(ConnectNamedPipe(pipe, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_LISTENING), GetLastError()) << "the pipe was opened";
    CloseHandle(pipe);
    EXPECT_FALSE(path_exists(config_ + "\\files.dat"));
    EXPECT_TRUE(path_exists(config_));
}

TEST_F(Registration, AnOlderLibraryBesideIsOnlyScheduledForRemoval) {
    ASSERT_TRUE(write_whole_file(std::string(install_folder) + "plivar.dll", "old"));
    ASSERT_TRUE(write_whole_file(std::string(base_folder) + "tree.dat", "not imported"));
    ASSERT_TRUE(write_whole_file(std::string(base_folder) + "zanq.dll", "older"));
    ASSERT_TRUE(write_whole_file(std::string(base_folder) + "help.htm", "help"));
    ASSERT_EQ(0u, register_dll());
    EXPECT_EQ(windows_folder() + "\\System32\\cmd.exe /c del /q  \"" + install_folder +
                  "plivar.dll\"",
              take_scheduled_command());
    EXPECT_TRUE(path_exists(std::string(install_folder) + "plivar.dll"));
    EXPECT_TRUE(path_exists(std::string(base_folder) + "help.htm"));
    EXPECT_TRUE(path_exists(std::string(base_folder) + "tree.dat"));
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + main_clsid_text));
    DeleteFileA((std::string(base_folder) + "tree.dat").c_str());
    DeleteFileA((std::string(base_folder) + "zanq.dll").c_str());
    DeleteFileA((std::string(base_folder) + "help.htm").c_str());
}

// The folder above the install folder belongs to everyone: without a file of
// the older installation in it, nothing there is deleted.
TEST_F(Registration, LeavesOtherPeoplesFilesInTheBaseFolder) {
    std::string base = base_folder;
    ASSERT_TRUE(write_whole_file(base + "help.htm", "someone else's"));
    CreateDirectoryA((base + "images").c_str(), nullptr);
    ASSERT_TRUE(write_whole_file(base + "images\\photo.png", "someone else's"));
    ASSERT_EQ(0u, register_dll());
    EXPECT_TRUE(path_exists(base + "help.htm"));
    EXPECT_TRUE(path_exists(base + "images\\photo.png"));

    // A name the older installation used is no proof of it.
    ASSERT_TRUE(write_whole_file(base + "setting.dat", "someone else's settings"));
    ASSERT_EQ(0u, register_dll());
    EXPECT_TRUE(path_exists(base + "help.htm"));
    EXPECT_TRUE(path_exists(base + "setting.dat"));

    // With the older installation's own library there, its leftovers go, a
    // tree deeper than MAX_PATH included; the registering program's current
    // folder, which holds the same names, keeps them.
    ASSERT_TRUE(write_whole_file(base + "zanq.dll", "the older library"));
    std::wstring deep = L"\\\\?\\" + wide_of(base) + L"images";
    for (int level = 0; level < 20; ++level) {
        deep += L"\\level_" + std::to_wstring(level) + L"_of_a_deep_tree";
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    }
    ASSERT_GT(deep.size(), 400u);
    HANDLE file = CreateFileW((deep + L"\\leaf.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    plant_older_names(elsewhere_.path());
    ASSERT_EQ(0u, register_dll());
    EXPECT_FALSE(path_exists(base + "help.htm"));
    EXPECT_FALSE(path_exists(base + "images"));
    EXPECT_FALSE(path_exists(base + "setting.dat"));
    EXPECT_EQ(windows_folder() + "\\System32\\cmd.exe /c del /q  \"" + base + "zanq.dll\"",
              take_scheduled_command());
    DeleteFileA((base + "zanq.dll").c_str());
    expect_older_names(elsewhere_.path());
}

// A library registered from a user's own folder (no "Quillarvent" in its
// path): of its images folder only the product's icon files are renewed.
TEST_F(Registration, LibraryInAUsersOwnFolderKeepsItsImages) {
    TempFolder downloads;
    std::string library = downloads.path() + "plivar_23.dll";
    for (const char *file : {"plivar_23.dll", "quillarvent.propdesc"})
        ASSERT_TRUE(CopyFileA((build_output_folder() + file).c_str(),
                              (downloads.path() + file).c_str(), FALSE));
    ASSERT_TRUE(CreateDirectoryA((downloads.path() + "images").c_str(), nullptr));
    ASSERT_TRUE(write_whole_file(downloads.path() + "images\\photo.png", "a user's photo"));
    ASSERT_TRUE(write_whole_file(downloads.path() + "images\\icon2.png", "an old icon"));
    ASSERT_TRUE(write_whole_file(downloads.path() + "help.htm", "a user's page"));
    ASSERT_TRUE(write_whole_file(downloads.path() + "setting.dat", "a user's settings"));
    ASSERT_TRUE(write_whole_file(downloads.path() + "tree.dat", "a user's tree"));
    ASSERT_EQ(0u, regsvr32("", library));
    EXPECT_TRUE(path_exists(downloads.path() + "setting.dat"));
    EXPECT_TRUE(path_exists(downloads.path() + "tree.dat"));
    std::string bytes;
    EXPECT_TRUE(read_whole_file(downloads.path() + "images\\photo.png", bytes));
    EXPECT_EQ("a user's photo", bytes);
    EXPECT_TRUE(path_exists(downloads.path() + "help.htm"));
    ASSERT_TRUE(read_whole_file(downloads.path() + "images\\icon2.png", bytes));
    EXPECT_GT(bytes.size(), 1000u);
    EXPECT_EQ(library, value_of(HKEY_CLASSES_ROOT,
                                std::string("CLSID\\") + main_clsid_text + "\\InprocServer32"));

    MessageBoxCatcher catcher("Remove descriptions ?", IDNO);
    EXPECT_EQ(0u, regsvr32("/u", library));
    catcher.caught();
    // Run at the next logon, the removal takes the product's files only.
    std::string command = take_scheduled_command();
    EXPECT_EQ(std::string::npos, command.find("/s"));
    EXPECT_EQ(0u, run_program(command, 60000, elsewhere_.path()));
    EXPECT_FALSE(path_exists(library));
    EXPECT_FALSE(path_exists(downloads.path() + "images\\icon2.png"));
    EXPECT_TRUE(path_exists(downloads.path() + "images\\photo.png"));
    EXPECT_TRUE(path_exists(downloads.path() + "help.htm"));
}

// The scheduled removal names every file absolutely, deletes only files, and
// removes the folders only once they are empty.
TEST_F(Registration, RemovalTakesOnlyTheProductsOwnFiles) {
    ASSERT_EQ(0u, register_dll());
    std::string folder = install_folder;
    ASSERT_TRUE(write_whole_file(folder + "notes.txt", "a user's notes"));
    unregister(IDNO);
    std::string command = take_scheduled_command();
    ASSERT_EQ(removal_command("C:\\Program Files\\Quillarvent", true), command);

    EXPECT_EQ(0u, run_program(command, 60000, elsewhere_.path()));
    EXPECT_FALSE(path_exists(folder + "plivar_23.dll"));
    EXPECT_FALSE(path_exists(folder + "quillarvent_registry.exe"));
    EXPECT_FALSE(path_exists(folder + "quillarvent.exe"));
    EXPECT_FALSE(path_exists(folder + "images"));
    EXPECT_TRUE(path_exists(folder + "notes.txt"));

    // Run again where the current folder holds files of the same names, and
    // with a folder in the library's place: all of them stay.
    ASSERT_TRUE(CreateDirectoryA((folder + "plivar_23.dll").c_str(), nullptr));
    ASSERT_TRUE(write_whole_file(folder + "plivar_23.dll\\inside.txt", "kept"));
    for (const char *name : {"plivar_23.dll", "quillarvent_registry.exe", "quillarvent.exe"})
        ASSERT_TRUE(write_whole_file(elsewhere_.path() + name, "not the product"));
    CreateDirectoryA((elsewhere_.path() + "images").c_str(), nullptr);
    ASSERT_TRUE(write_whole_file(elsewhere_.path() + "images\\icon0.png", "not the product"));
    EXPECT_EQ(0u, run_program(command, 60000, elsewhere_.path()));
    EXPECT_TRUE(path_exists(folder + "plivar_23.dll\\inside.txt"));
    EXPECT_TRUE(path_exists(folder + "notes.txt"));
    for (const char *name :
         {"plivar_23.dll", "quillarvent_registry.exe", "quillarvent.exe", "images\\icon0.png"})
        EXPECT_TRUE(path_exists(elsewhere_.path() + name)) << name;

    delete_tree(folder + "plivar_23.dll");
    ASSERT_TRUE(DeleteFileA((folder + "notes.txt").c_str()));
    EXPECT_EQ(0u, run_program(command, 60000, elsewhere_.path()));
    EXPECT_FALSE(path_exists(folder));
}

// Uninstalled and installed again before the next logon: the removal that
// the uninstall scheduled must not take the new installation's files.
TEST_F(Registration, RegisteringAgainCancelsItsOwnPendingRemoval) {
    ASSERT_EQ(0u, register_dll());
    unregister(IDNO);
    ASSERT_NE("<no value>", value_of(HKEY_LOCAL_MACHINE, run_once_key, "dele"));
    // Named in another case, the folder is the same one.
    std::string other_case = install_folder;
    CharLowerBuffA(&other_case[0], static_cast<DWORD>(other_case.size()));
    ASSERT_EQ(0u, regsvr32("", other_case + "plivar_23.dll"));
    EXPECT_EQ("<no value>", value_of(HKEY_LOCAL_MACHINE, run_once_key, "dele"));
    // Another program's removal command stays.
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, run_once_key, 0, KEY_SET_VALUE, &key));
    const char other[] = "cmd /c del \"C:\\Other\\tool.dll\"";
    RegSetValueExA(key, "dele", 0, REG_SZ, reinterpret_cast<const BYTE *>(other), sizeof other);
    RegCloseKey(key);
    ASSERT_EQ(0u, register_dll());
    EXPECT_EQ(other, take_scheduled_command());
}

const char property_handlers[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\PropertySystem\\PropertyHandlers\\";

// Every value of a key, with its type and bytes, and its subkeys' names.
std::string key_dump(HKEY root, const std::string &path) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "<no key>";
    std::string dump;
    char name[256];
    BYTE data[1024];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof(name), size = sizeof(data), type = 0;
        if (RegEnumValueA(key, i, name, &length, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        dump += std::string(name, length) + "/" + std::to_string(type) + "=" +
                std::string(reinterpret_cast<char *>(data), size) + ";";
    }
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof(name);
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        dump += "[" + std::string(name, length) + "]";
    }
    RegCloseKey(key);
    return dump;
}

// The property handler takes a type only where no handler is, and gives
// back only what it took and still holds.
TEST_F(Registration, PropertyHandlerTakesOnlyFreeTypesAndGivesBackOnlyItsOwn) {
    const std::string handlers = property_handlers;
    const char theirs[] = "{11111111-2222-3333-4444-555555555555}";
    const std::string associations = "SOFTWARE\\Classes\\SystemFileAssociations\\";
    for (const char *type : {".qvf", ".qvo", ".qve", ".qvt", ".qvp"})
        RegSetValueA(HKEY_CLASSES_ROOT, type, REG_SZ, "qvfile", 6);
    // .qvp has a Details pane list of its own.
    HKEY details;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyA(HKEY_LOCAL_MACHINE, (associations + ".qvp").c_str(), &details));
    RegSetValueExA(details, "PreviewDetails", 0, REG_SZ,
                   reinterpret_cast<const BYTE *>("prop:System.Size"), 17);
    RegCloseKey(details);
    const std::string own_list = key_dump(HKEY_LOCAL_MACHINE, associations + ".qvp");
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, (handlers + ".qvo").c_str(), &key));
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(theirs), sizeof(theirs));
    RegSetValueExA(key, "Extra", 0, REG_BINARY, reinterpret_cast<const BYTE *>("\1\0\2"), 3);
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, (handlers + ".qve").c_str(), &key));
    RegCloseKey(key);
    const std::string other = key_dump(HKEY_LOCAL_MACHINE, handlers + ".qvo");
    const std::string empty = key_dump(HKEY_LOCAL_MACHINE, handlers + ".qve");

    ASSERT_EQ(0u, register_dll());
    const std::string ours = property_handler_clsid_text;
    EXPECT_EQ(ours, value_of(HKEY_LOCAL_MACHINE, handlers + ".qvf"));
    EXPECT_EQ(ours, value_of(HKEY_LOCAL_MACHINE, handlers + ".qvt"));
    EXPECT_EQ(other, key_dump(HKEY_LOCAL_MACHINE, handlers + ".qvo"));
    EXPECT_EQ(empty, key_dump(HKEY_LOCAL_MACHINE, handlers + ".qve"));
    EXPECT_NE(std::string::npos,
              value_of(HKEY_LOCAL_MACHINE, associations + ".qvf", "PreviewDetails")
                  .find(";Quillarvent.Description;"));
    EXPECT_EQ(ours, value_of(HKEY_LOCAL_MACHINE, handlers + ".qvp"));
    EXPECT_EQ(own_list, key_dump(HKEY_LOCAL_MACHINE, associations + ".qvp"));
    const std::string server = "CLSID\\" + ours;
    EXPECT_EQ(std::string(install_folder) + "plivar_23.dll",
              value_of(HKEY_CLASSES_ROOT, server + "\\InprocServer32"));
    EXPECT_EQ("Both", value_of(HKEY_CLASSES_ROOT, server + "\\InprocServer32", "ThreadingModel"));
    DWORD isolation = 0, size = sizeof(isolation);
    EXPECT_EQ(ERROR_SUCCESS,
              RegGetValueA(HKEY_CLASSES_ROOT, server.c_str(), "DisableProcessIsolation",
                           RRF_RT_REG_DWORD, nullptr, &isolation, &size));
    EXPECT_EQ(1u, isolation);

    // A type first described afterwards is taken then; another product
    // then takes one of ours over.
    TempFolder data;
    ASSERT_TRUE(write_whole_file(data.path() + "first.qvn", "data"));
    register_info_tip_for_path(data.path() + "first.qvn");
    EXPECT_EQ(ours, value_of(HKEY_LOCAL_MACHINE, handlers + ".qvn"));
    RegSetValueA(HKEY_LOCAL_MACHINE, (handlers + ".qvt").c_str(), REG_SZ, theirs, sizeof(theirs));
    // Registered again (an upgrade) after the program of .qvn went: the
    // class key is written afresh, and .qvn is still given back.
    RegDeleteTreeA(HKEY_CLASSES_ROOT, ".qvn");
    ASSERT_EQ(0u, register_dll());

    unregister(IDNO);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, handlers + ".qvf"));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, handlers + ".qvn"));
    EXPECT_EQ(theirs, value_of(HKEY_LOCAL_MACHINE, handlers + ".qvt"));
    EXPECT_EQ(other, key_dump(HKEY_LOCAL_MACHINE, handlers + ".qvo"));
    EXPECT_EQ(empty, key_dump(HKEY_LOCAL_MACHINE, handlers + ".qve"));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, associations + ".qvf"));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, handlers + ".qvp"));
    EXPECT_EQ(own_list, key_dump(HKEY_LOCAL_MACHINE, associations + ".qvp"));
    for (const char *type : {".qvf", ".qvo", ".qve", ".qvt", ".qvn", ".qvp"}) {
        RegDeleteTreeA(HKEY_CLASSES_ROOT, type);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, (handlers + type).c_str());
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, (associations + type).c_str());
    }
}

// The schema names, by format and number, the properties the handler
// hands out, and is a document the system's XML reader takes.
TEST(PropertySchema, NamesThePropertiesTheHandlerReturns) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IXMLDOMDocument *document = nullptr;
    // MSXML 3's document, which every Windows and Wine has.
    const GUID dom_document = {
        0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
    ASSERT_EQ(S_OK, CoCreateInstance(dom_document, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IXMLDOMDocument, reinterpret_cast<void **>(&document)));
    document->put_async(VARIANT_FALSE);
    VARIANT file;
    V_VT(&file) = VT_BSTR;
    V_BSTR(&file) = SysAllocString(wide_of(build_output_folder() + "quillarvent.propdesc").c_str());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    EXPECT_EQ(S_OK, document->load(file, &loaded));
    VariantClear(&file);
    ASSERT_EQ(VARIANT_TRUE, loaded);

    const struct {
        const wchar_t *name;
        PROPERTYKEY key;
        const wchar_t *type;
        const wchar_t *innate;
    } expected[] = {{L"Quillarvent.Description", description_property_key, L"String", L"false"},
                    {L"Quillarvent.Marker", marker_property_key, L"UInt32", L"true"}};
    IXMLDOMNodeList *descriptions = nullptr;
    BSTR tag = SysAllocString(L"propertyDescription");
    ASSERT_EQ(S_OK, document->getElementsByTagName(tag, &descriptions));
    SysFreeString(tag);
    long count = 0;
    descriptions->get_length(&count);
    ASSERT_EQ(2, count);
    auto attribute = [](IXMLDOMNode *node, const wchar_t *name) {
        std::wstring text;
        IXMLDOMElement *element = nullptr;
        if (SUCCEEDED(
                node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void **>(&element)))) {
            VARIANT value;
            VariantInit(&value);
            BSTR attribute_name = SysAllocString(name);
            if (element->getAttribute(attribute_name, &value) == S_OK && V_VT(&value) == VT_BSTR)
                text = V_BSTR(&value);
            SysFreeString(attribute_name);
            VariantClear(&value);
            element->Release();
        }
        return text;
    };
    auto child = [](IXMLDOMNode *node, const wchar_t *name) {
        IXMLDOMNode *found = nullptr;
        IXMLDOMNodeList *children = nullptr;
        node->get_childNodes(&children);
        for (long i = 0; children && !found; ++i) {
            IXMLDOMNode *candidate = nullptr;
            if (children->get_item(i, &candidate) != S_OK || !candidate)
                break;
            BSTR candidate_name = nullptr;
            candidate->get_nodeName(&candidate_name);
            if (candidate_name && wcscmp(candidate_name, name) == 0)
                found = candidate;
            else
                candidate->Release();
            SysFreeString(candidate_name);
        }
        if (children)
            children->Release();
        return found;
    };
    for (long i = 0; i < count; ++i) {
        IXMLDOMNode *node = nullptr;
        ASSERT_EQ(S_OK, descriptions->get_item(i, &node));
        const auto &wanted = expected[i];
        EXPECT_EQ(wanted.name, attribute(node, L"name"));
        wchar_t format[40];
        StringFromGUID2(wanted.key.fmtid, format, 40);
        EXPECT_EQ(format, attribute(node, L"formatID"));
        EXPECT_EQ(std::to_wstring(wanted.key.pid), attribute(node, L"propID"));
        IXMLDOMNode *type = child(node, L"typeInfo");
        ASSERT_NE(nullptr, type) << i;
        EXPECT_EQ(wanted.type, attribute(type, L"type"));
        EXPECT_EQ(wanted.innate, attribute(type, L"isInnate"));
        EXPECT_EQ(L"true", attribute(type, L"isViewable"));
        type->Release();
        IXMLDOMNode *label = child(node, L"labelInfo");
        ASSERT_NE(nullptr, label) << i;
        EXPECT_EQ(0u, attribute(label, L"label").find(L"Quillarvent "));
        label->Release();
        node->Release();
    }
    descriptions->Release();
    document->Release();
    CoUninitialize();
}

// Removing what is already gone is no failure; a second unregistration
// succeeds.
TEST_F(Registration, UnregisteringTwiceSucceeds) {
    ASSERT_EQ(0u, register_dll());
    unregister(IDNO);
    unregister(IDNO);
    take_scheduled_command();
}

// A first install over an older installation: the imported descriptions
// reach files.dat, and nobody is told the configuration is missing.
TEST_F(Registration, FirstInstallImportsTheOlderInstallationsDescriptions) {
    std::string base = base_folder, file = base + "imported.txt";
    ASSERT_TRUE(write_whole_file(file, "x"));
    std::string tree, descr;
    auto put32 = [](std::string &out, int32_t v) {
        out.append(reinterpret_cast<const char *>(&v), 4);
    };
    put32(tree, 1);
    put32(tree, 1);
    put32(tree, 16);
    tree += "C:\\Program Files";
    tree.append("\x29\x01", 2);
    put32(descr, 12);
    descr += "imported.txt";
    put32(descr, 1);
    put32(descr, 0);
    put32(descr, 5);
    descr += "hello";
    descr.append("\x29\x01", 2);
    ASSERT_TRUE(write_whole_file(base + "tree.dat", tree));
    ASSERT_TRUE(write_whole_file(base + "descr.dat", descr));
    {
        MessageBoxCatcher converted("Error", IDOK, 20000);
        MessageBoxCatcher configuration("Quillarvent", IDOK, 3000);
        ASSERT_EQ(0u, register_dll());
        EXPECT_EQ("Globals descriptions was be succeeded converted , but local description not "
                  "supported at this version",
                  converted.text());
        EXPECT_FALSE(configuration.caught());
    }
    std::string index, stream;
    ASSERT_TRUE(read_whole_file(config_ + "\\files.dat", index));
    EXPECT_NE(std::string::npos, index.find(file));
    ASSERT_TRUE(read_whole_file(file + ":plivar", stream));
    EXPECT_EQ(std::string("\0\0\0\0hello", 9), stream);
    EXPECT_FALSE(path_exists(base + "tree.dat"));
    EXPECT_FALSE(path_exists(base + "descr.dat"));
    DeleteFileA((file + ":plivar").c_str());
    DeleteFileA(file.c_str());
}

// A library whose own path start-up could not take exactly refuses to
// register before doing anything: every name would be relative to the
// caller's current folder, or name a look-alike.
TEST_F(Registration, ALibraryPathItCannotNameExactlyRegistersNothing) {
    TempFolder temp;
    std::wstring deep = L"\\\\?\\" + wide_of(temp.path()) + L"deep";
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    while (deep.size() < 300) {
        deep += L"\\a_folder_name_of_some_length";
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    }
    std::wstring unicode = wide_of(temp.path()) + L"\x0141odz";
    ASSERT_TRUE(CreateDirectoryW(unicode.c_str(), nullptr));
    const struct {
        std::wstring folder;
        HRESULT expected;
    } cases[] = {{unicode, HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION)},
                 {deep, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)}};

    take_scheduled_command();
    plant_older_names(elsewhere_.path());
    ASSERT_TRUE(write_whole_file(elsewhere_.path() + "tree.dat", "not the product's"));
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(elsewhere_.path().c_str()));
    for (const auto &c : cases) {
        std::wstring library = c.folder + L"\\plivar_23.dll";
        ASSERT_TRUE(CopyFileW(wide_of(build_output_folder() + "plivar_23.dll").c_str(),
                              library.c_str(), FALSE));
        HMODULE dll = LoadLibraryW(library.c_str());
        EXPECT_NE(nullptr, dll) << GetLastError();
        if (!dll)
            continue;
        auto register_server = reinterpret_cast<HRESULT(WINAPI *)()>(
            reinterpret_cast<void *>(GetProcAddress(dll, "DllRegisterServer")));
        ASSERT_NE(nullptr, register_server);
        EXPECT_EQ(c.expected, register_server());
        FreeLibrary(dll);
    }
    SetCurrentDirectoryA(previous);
    expect_older_names(elsewhere_.path());
    EXPECT_TRUE(path_exists(elsewhere_.path() + "tree.dat"));
    EXPECT_EQ("<no value>", take_scheduled_command());
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + main_clsid_text));
    EXPECT_FALSE(path_exists(config_));
}

TEST_F(Registration, NoConfigurationFolderMeansAccessDeniedAndNoEntries) {
    ASSERT_TRUE(write_whole_file(config_, "a file where the folder belongs"));
    HMODULE dll = LoadLibraryA((std::string(install_folder) + "plivar_23.dll").c_str());
    ASSERT_NE(nullptr, dll);
    auto register_server = reinterpret_cast<HRESULT(WINAPI *)()>(
        reinterpret_cast<void *>(GetProcAddress(dll, "DllRegisterServer")));
    ASSERT_NE(nullptr, register_server);
    EXPECT_EQ(E_ACCESSDENIED, register_server());
    FreeLibrary(dll);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + main_clsid_text));
    ITypeLib *library = nullptr;
    EXPECT_NE(S_OK, LoadRegTypeLib(type_library_id, 1, 0, 1033, &library));
    DeleteFileA(config_.c_str());
    remove_info_tip_registrations();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\Quillarvent");
}

// The older sibling component's entries go too, wherever they hang.
TEST(InfoTipRemoval, TakesTheSiblingComponentsEntriesAlong) {
    const char sibling[] = "{2D7A5C13-8E4B-4F61-9A0C-3B6E1F4D7A92}";
    RegSetValueA(HKEY_CLASSES_ROOT, ".qzz", REG_SZ, "qzzfile", 7);
    RegSetValueA(HKEY_CLASSES_ROOT, ".qzz\\shellex\\{00021500-0000-0000-C000-000000000046}", REG_SZ,
                 sibling, sizeof(sibling));
    RegSetValueA(HKEY_CLASSES_ROOT, "qzzfile\\shellex\\IconHandler", REG_SZ, sibling,
                 sizeof(sibling));
    RegSetValueA(HKEY_CLASSES_ROOT, ".qzy\\shellex\\{00021500-0000-0000-C000-000000000046}", REG_SZ,
                 "{someone else}", 14);
    RegSetValueA(HKEY_CLASSES_ROOT, "Zanq.TextInfo", REG_SZ, "old", 3);
    RegSetValueA(HKEY_CLASSES_ROOT, "Folder\\shellex\\{00021500-0000-0000-C000-000000000046}",
                 REG_SZ, "{someone else}", 14);

    remove_info_tip_registrations();

    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, ".qzz\\shellex"));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "qzzfile\\shellex"));
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, ".qzz"));
    EXPECT_EQ("{someone else}",
              value_of(HKEY_CLASSES_ROOT, ".qzy\\shellex\\{00021500-0000-0000-C000-000000000046}"));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, "Zanq.TextInfo"));
    EXPECT_FALSE(
        key_exists(HKEY_CLASSES_ROOT, "Folder\\shellex\\{00021500-0000-0000-C000-000000000046}"));
    for (const char *key : {".qzz", ".qzy", "qzzfile"})
        RegDeleteTreeA(HKEY_CLASSES_ROOT, key);
}

// A program folder whose name did not fit at start-up is never scheduled
// for removal: an empty or cut name could stand for another folder.
TEST(ScheduleRemoval, NeedsAKnownProgramFolder) {
    take_scheduled_command();
    module_folder[0] = '\0';
    schedule_removal(nullptr);
    EXPECT_EQ("<no value>", take_scheduled_command());

    strcpy(module_folder, "C:\\Program Files\\Quillarvent\\");
    schedule_removal(nullptr);
    EXPECT_EQ(removal_command("C:\\Program Files\\Quillarvent", false), take_scheduled_command());
    // "%" would be read as a variable of the command.
    strcpy(module_folder, "C:\\100%F\\");
    schedule_removal(nullptr);
    EXPECT_EQ("<no value>", take_scheduled_command());
    // An older file that is a folder is not ours to empty.
    TempFolder temp;
    std::string folder = temp.path() + "zanq.dll";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    schedule_removal(folder.c_str());
    EXPECT_EQ("<no value>", take_scheduled_command());
    module_folder[0] = '\0';
}

} // namespace
