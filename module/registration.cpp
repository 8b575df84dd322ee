#include "module/registration.h"

#include <windows.h>
#include <oleauto.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <map>
#include <string>
#include <vector>

#include "module/class_ids.h"
#include "module/folder_tree.h"
#include "module/info_tip_types.h"
#include "module/legacy_import.h"
#include "module/module_start_up.h"
#include "module/settings.h"
#include "module/win_handles.h"
#include "store/index_records.h"
#include "store/info_holder.h"
#include "store/keep_file.h"
#include "store/path_text.h"
#include "store/property_handler_key.h"

namespace {

const GUID type_library_id = {
    0x5F3A9C24, 0x7B1E, 0x4D86, {0xA2, 0xC9, 0x8E, 0x4B, 0x6D, 0x1F, 0x3A, 0x57}};
const char approved_key[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
const char overlays_key[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers";
const char run_once_key[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const char configuration_sddl[] = "D:(A;OICI;GA;;;AU)";

// One key of the registration that is removed again at unregistration, with
// its default value and, for a class, the in-process server below it.
struct owned_key {
    HKEY root;
    std::string path;
    std::string value;
    bool server;
    // Windows Search loads a handler that opens files by their paths only
    // outside its isolated host.
    bool in_search_process = false;
};

// Keys that belong to the whole system: opened or created, never removed.
const char *const shared_keys[] = {
    "Folder\\ShellEx\\ContextMenuHandlers",
    "Folder\\ShellEx\\ColumnHandlers",
    "*\\ShellEx\\ContextMenuHandlers",
    "*\\ShellEx\\ColumnHandlers",
    "CLSID",
};

std::string overlay_clsid_text(int kind) {
    return "{4B2E1A3" + std::to_string(kind) + "-9C7D-4E21-8F3A-6D5B2C1E0F9A}";
}

std::vector<owned_key> owned_keys() {
    std::string column = std::string("\\ShellEx\\ColumnHandlers\\") + column_clsid_text;
    std::vector<owned_key> keys = {
        {HKEY_CLASSES_ROOT, "Folder\\ShellEx\\ContextMenuHandlers\\Quillarvent", main_clsid_text,
         false},
        {HKEY_CLASSES_ROOT, "Folder" + column, "Quillarvent", false},
        {HKEY_CLASSES_ROOT, "*\\ShellEx\\ContextMenuHandlers\\Quillarvent", main_clsid_text, false},
        {HKEY_CLASSES_ROOT, "*" + column, "Quillarvent", false},
        {HKEY_CLASSES_ROOT, std::string("CLSID\\") + main_clsid_text, "CInfoTip Class", true},
        {HKEY_CLASSES_ROOT, std::string("CLSID\\") + column_clsid_text, "CColumnProv Class", true},
        {HKEY_CLASSES_ROOT, std::string("CLSID\\") + property_handler_clsid_text,
         "Quillarvent Property Handler", true, true},
    };
    for (int kind = 0; kind < 6; ++kind)
        keys.push_back(
            {HKEY_CLASSES_ROOT, "CLSID\\" + overlay_clsid_text(kind), "Quillarvent", true});
    for (int kind = 0; kind < 6; ++kind)
        keys.push_back({HKEY_LOCAL_MACHINE,
                        std::string(overlays_key) + "\\" + std::to_string(kind) + "Quillarvent",
                        overlay_clsid_text(kind), false});
    return keys;
}

std::vector<std::string> approved_names() {
    std::vector<std::string> names;
    for (int kind = 0; kind < 6; ++kind)
        names.push_back(overlay_clsid_text(kind));
    names.push_back(main_clsid_text);
    return names;
}

LONG set_string(HKEY key, const char *name, const std::string &value) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
}

LONG create_key(HKEY root, const std::string &path, HKEY *key) {
    return RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key,
                           nullptr);
}

HRESULT write_owned_key(const owned_key &entry, const std::wstring &module_path) {
    RegDeleteTreeA(entry.root, entry.path.c_str());
    ScopedRegKey key;
    LONG result = create_key(entry.root, entry.path, key.receive());
    if (result == ERROR_SUCCESS)
        result = set_string(key.get(), nullptr, entry.value);
    if (result == ERROR_SUCCESS && entry.server) {
        ScopedRegKey server;
        result = create_key(key.get(), "InprocServer32", server.receive());
        if (result == ERROR_SUCCESS)
            result = RegSetValueExW(server.get(), nullptr, 0, REG_SZ,
                                    reinterpret_cast<const BYTE *>(module_path.c_str()),
                                    static_cast<DWORD>((module_path.size() + 1) * sizeof(wchar_t)));
        if (result == ERROR_SUCCESS)
            result = set_string(server.get(), "ThreadingModel", "Both");
    }
    if (result == ERROR_SUCCESS && entry.in_search_process) {
        DWORD one = 1;
        result = RegSetValueExA(key.get(), "DisableProcessIsolation", 0, REG_DWORD,
                                reinterpret_cast<const BYTE *>(&one), sizeof(one));
    }
    return HRESULT_FROM_WIN32(result);
}

// The library's own file name, exactly as start-up found it; fails when it
// does not fit the buffer or has no exact ANSI form.
HRESULT get_module_path(std::wstring &path) {
    if (!module_folder[0])
        return HRESULT_FROM_WIN32(module_folder_error ? module_folder_error
                                                      : ERROR_INSUFFICIENT_BUFFER);
    wchar_t name[MAX_PATH];
    DWORD length = GetModuleFileNameW(module_instance, name, MAX_PATH);
    if (length == 0)
        return HRESULT_FROM_WIN32(GetLastError());
    if (length >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    path.assign(name, length);
    return S_OK;
}

HRESULT apply_registry_script(const std::wstring &module_path) {
    for (const char *path : shared_keys) {
        ScopedRegKey key;
        LONG result = create_key(HKEY_CLASSES_ROOT, path, key.receive());
        if (result != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(result);
    }
    for (const owned_key &entry : owned_keys()) {
        HRESULT hr = write_owned_key(entry, module_path);
        if (FAILED(hr))
            return hr;
    }
    ScopedRegKey approved;
    LONG result = create_key(HKEY_LOCAL_MACHINE, approved_key, approved.receive());
    for (const std::string &name : approved_names())
        if (result == ERROR_SUCCESS)
            result = set_string(approved.get(), name.c_str(), "Quillarvent");
    return HRESULT_FROM_WIN32(result);
}

// A key or value that is already gone is not a failure.
HRESULT removal_result(LONG result) {
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ? S_OK
                                                                     : HRESULT_FROM_WIN32(result);
}

// Removes every entry of the registration; returns the first failure.
HRESULT remove_registry_script() {
    HRESULT first = S_OK;
    auto keep_first = [&first](HRESULT hr) {
        if (SUCCEEDED(first) && FAILED(hr))
            first = hr;
    };
    for (const owned_key &entry : owned_keys())
        keep_first(removal_result(RegDeleteTreeA(entry.root, entry.path.c_str())));
    ScopedRegKey approved;
    LONG opened =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, approved_key, 0, KEY_SET_VALUE, approved.receive());
    keep_first(removal_result(opened));
    if (opened == ERROR_SUCCESS)
        for (const std::string &name : approved_names())
            keep_first(removal_result(RegDeleteValueA(approved.get(), name.c_str())));
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return first;
}

HRESULT register_type_library(const std::wstring &module_path) {
    ITypeLib *library = nullptr;
    HRESULT hr = LoadTypeLibEx(module_path.c_str(), REGKIND_NONE, &library);
    if (SUCCEEDED(hr)) {
        std::wstring path = module_path;
        hr = RegisterTypeLib(library, &path[0], nullptr);
        library->Release();
    }
    return hr;
}

// A type library that is not registered needs no removal; one that is and
// cannot be removed is a failure, whatever the code.
HRESULT unregister_type_library() {
    {
        ScopedRegKey version;
        LONG opened =
            RegOpenKeyExA(HKEY_CLASSES_ROOT, "TypeLib\\{5F3A9C24-7B1E-4D86-A2C9-8E4B6D1F3A57}\\1.0",
                          0, KEY_READ, version.receive());
        if (opened == ERROR_FILE_NOT_FOUND)
            return S_OK;
    }
    return UnRegisterTypeLib(type_library_id, 1, 0, 1033,
                             sizeof(void *) == 8 ? SYS_WIN64 : SYS_WIN32);
}

// The schema file beside the library tells the property system what the
// handler's properties are called and where they show. propsys is loaded
// only here, so the shell's processes never load it for the library.
HRESULT change_property_schema(bool add) {
    std::wstring schema;
    if (!module_folder[0] ||
        !wide_path_of(std::string(module_folder) + property_schema_file_name, schema))
        return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    if (add && GetFileAttributesW(schema.c_str()) == INVALID_FILE_ATTRIBUTES)
        return HRESULT_FROM_WIN32(GetLastError());
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 16)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    HMODULE propsys = LoadLibraryW((std::wstring(system) + L"\\propsys.dll").c_str());
    if (!propsys)
        return HRESULT_FROM_WIN32(GetLastError());
    auto change = reinterpret_cast<HRESULT(WINAPI *)(PCWSTR)>(reinterpret_cast<void *>(
        GetProcAddress(propsys, add ? "PSRegisterPropertySchema" : "PSUnregisterPropertySchema")));
    HRESULT hr = change ? change(schema.c_str()) : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(propsys);
    return hr;
}

// A file, not a folder of the same name: only files are the older
// installation's.
bool is_file(const std::string &path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string install_base() {
    std::string folder = module_folder;
    size_t at = folder.rfind("Quillarvent");
    return at == std::string::npos ? folder : folder.substr(0, at);
}

// Only a base that holds the older installation's own library may lose the
// names that installation used: "setting.dat" or "help.htm" alone may belong
// to anyone.
bool holds_older_installation(const std::string &base) {
    return is_file(base + "zanq.dll");
}

// The icon files start-up writes, by their full ANSI names.
std::vector<std::string> own_icon_files() {
    std::vector<std::string> names;
    for (const overlay_entry &row : overlay_table) {
        std::string name;
        if (row.icon_path[0] && ansi_path_of(row.icon_path, name))
            names.push_back(name);
    }
    return names;
}

std::string without_trailing_backslash(std::string path) {
    if (!path.empty() && path.back() == '\\')
        path.pop_back();
    return path;
}

class ConfigurationSecurity {
  public:
    ConfigurationSecurity() {
        attributes_.nLength = sizeof(attributes_);
        attributes_.bInheritHandle = FALSE;
        ConvertStringSecurityDescriptorToSecurityDescriptorA(
            configuration_sddl, SDDL_REVISION_1, &attributes_.lpSecurityDescriptor, nullptr);
    }
    ~ConfigurationSecurity() { LocalFree(attributes_.lpSecurityDescriptor); }
    ConfigurationSecurity(const ConfigurationSecurity &) = delete;
    ConfigurationSecurity &operator=(const ConfigurationSecurity &) = delete;

    SECURITY_ATTRIBUTES *get() { return &attributes_; }

  private:
    SECURITY_ATTRIBUTES attributes_ = {};
};

} // namespace

void schedule_removal(const char *path) {
    // Without a known program folder (its name did not fit the buffer or the
    // code page at start-up) there is nothing safe to remove.
    if (!path && !module_folder[0])
        return;
    char windows[1024];
    UINT length = GetWindowsDirectoryA(windows, sizeof(windows));
    if (length == 0 || length >= sizeof(windows))
        return;
    std::string command = windows;
    if (path) {
        // A folder of that name is someone else's: del would empty it.
        if (!path[0] || !is_file(path))
            return;
        command += std::string("\\System32\\cmd.exe /c del /q  \"") + path + "\"";
    } else {
        // Every name is absolute, whatever folder the command runs in. A
        // file is deleted only when it is one (del would empty a folder of
        // that name); the folders go only when nothing else is left in them.
        // "%" would be read as part of a variable, so such a folder is left.
        std::string folder = module_folder;
        if (folder.find('%') != std::string::npos)
            return;
        std::vector<std::string> files = {
            folder + "plivar_23.dll", folder + "quillarvent_registry.exe",
            folder + "quillarvent.exe", folder + property_schema_file_name};
        for (const std::string &icon : own_icon_files())
            files.push_back(icon);
        command += "\\System32\\cmd.exe /c (for %F in (";
        for (size_t i = 0; i < files.size(); ++i)
            command += (i ? " \"" : "\"") + files[i] + "\"";
        command += ") do @if not exist \"%~fF\\*\" del /q \"%~fF\") & rd \"" + folder + "images\"";
        // "rd D:" would take whatever folder is current on D:.
        if (folder.size() > 3)
            command += " & rd \"" + without_trailing_backslash(folder) + "\"";
    }
    ScopedRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, run_once_key, 0, KEY_ALL_ACCESS, key.receive()) ==
        ERROR_SUCCESS)
        set_string(key.get(), "dele", command);
}

namespace {

// An uninstall of this same folder that has not run yet would delete the
// files being registered now at the next logon.
void cancel_own_removal() {
    if (!module_folder[0])
        return;
    ScopedRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, run_once_key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      key.receive()) != ERROR_SUCCESS)
        return;
    char command[4096] = "";
    DWORD size = sizeof(command) - 1;
    if (RegGetValueA(key.get(), nullptr, "dele", RRF_RT_REG_SZ, nullptr, command, &size) !=
        ERROR_SUCCESS)
        return;
    // Paths are compared without regard to case, as the file system does.
    std::string own_library = std::string("\"") + module_folder + "plivar_23.dll\"";
    std::string scheduled = command;
    CharUpperBuffA(&own_library[0], static_cast<DWORD>(own_library.size()));
    CharUpperBuffA(&scheduled[0], static_cast<DWORD>(scheduled.size()));
    if (scheduled.find(own_library) != std::string::npos)
        RegDeleteValueA(key.get(), "dele");
}

} // namespace

void install_steps() {
    // Without a known program folder every name below would be relative to
    // the caller's current folder.
    if (!module_folder[0])
        return;
    std::string older = std::string(module_folder) + "plivar.dll";
    if (is_file(older)) {
        schedule_removal(older.c_str());
        return;
    }
    std::string base = install_base();
    if (base == module_folder) {
        // The program folder may be a user's own: of its images folder only
        // the icon files start-up writes are this product's, and they are
        // written afresh by the configuration step.
        for (const std::string &icon : own_icon_files())
            DeleteFileA(icon.c_str());
    }
    if (holds_older_installation(base)) {
        remove_info_tip_registrations();
        if (base != module_folder) {
            std::wstring images;
            if (wide_path_of(base + "images", images))
                delete_folder_tree(images);
        }
        for (const char *name : {"help.htm", "unins000.exe", "unins000.dat", "setting.dat"})
            if (is_file(base + name))
                DeleteFileA((base + name).c_str());
        schedule_removal((base + "zanq.dll").c_str());
    }
    // The legacy files are deleted only when they are read whole and every
    // description in them entered.
    import_legacy_descriptions(base);
}

// The settings key, the configuration folder and an empty files.dat, when
// they are missing.
bool prepare_configuration_files() {
    ConfigurationSecurity security;
    {
        ScopedRegKey key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, security.get(), key.receive(),
                            nullptr) != ERROR_SUCCESS)
            return false;
    }
    wchar_t common[MAX_PATH];
    if (SUCCEEDED(
            SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common))) {
        std::wstring folder = std::wstring(common) + L"\\Quillarvent";
        DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (!CreateDirectoryW(folder.c_str(), security.get()))
                return false;
        } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return false;
        }
        std::wstring index = folder + L"\\files.dat";
        if (GetFileAttributesW(index.c_str()) == INVALID_FILE_ATTRIBUTES) {
            ScopedFile file(CreateFileW(index.c_str(), GENERIC_ALL, 0, security.get(),
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file.valid())
                return false;
        }
    }
    return true;
}

bool prepare_configuration() {
    return prepare_configuration_files() && extract_overlay_icons();
}

void remove_all_descriptions(bool ask) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, settings_key_path);
    if (!ask || MessageBoxA(nullptr, "Remove all descriptions ?", "Remove descriptions ?",
                            MB_YESNO) != IDYES)
        return;
    // Streams on shares stay: this runs as an administrator, and a record
    // any user may have written must not make it connect to a server.
    for (const checked_record &entry : checked_records(info_holder, false))
        if (entry.use == record_use::usable)
            entry.record->delete_description();
    if (index_path[0])
        DeleteFileA(index_path);
    // Kept, they would come back as "kept, item replaced" after a new
    // installation. Only the keep file of the user who said Yes is
    // reachable here; another user's goes with that user's profile.
    std::wstring keep = keep_file.path();
    keep_file.set_path(std::wstring());
    if (!keep.empty() && DeleteFileW(keep.c_str()))
        RemoveDirectoryW(keep.substr(0, keep.find_last_of(L'\\')).c_str());
}

HRESULT register_server() {
    std::wstring module_path;
    HRESULT hr = get_module_path(module_path);
    if (FAILED(hr))
        return hr;
    cancel_own_removal();
    // Descriptions imported from an older installation need files.dat to
    // exist already, or a first install would report a missing configuration
    // and lose them from the index.
    prepare_configuration_files();
    install_steps();
    register_info_tip_for_all_types();
    if (!prepare_configuration())
        return E_ACCESSDENIED;
    std::map<std::string, DWORD> taken = taken_types();
    hr = apply_registry_script(module_path);
    record_taken_types(taken);
    if (SUCCEEDED(hr))
        hr = register_type_library(module_path);
    if (SUCCEEDED(hr))
        hr = change_property_schema(true);
    if (SUCCEEDED(hr))
        take_property_handlers_for_all_types();
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return hr;
}

HRESULT unregister_server(bool ask) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, settings_key_path);
    remove_all_descriptions(ask);
    remove_info_tip_registrations();
    release_property_handlers();
    schedule_removal(nullptr);
    // A schema that was never registered needs no removal.
    change_property_schema(false);
    HRESULT hr = unregister_type_library();
    HRESULT removed = remove_registry_script();
    return FAILED(hr) ? hr : removed;
}
