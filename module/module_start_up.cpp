#include "module/module_start_up.h"

#include <shlobj.h>
#include <strsafe.h>

#include "module/win_handles.h"
#include "resources/resource.h"
#include "store/info_holder.h"
#include "store/keep_file.h"
#include "store/path_text.h"
#include "store/store_report.h"
#include "ui/window_main.h"

HINSTANCE module_instance;
DWORD os_major_version;
char module_folder[MAX_PATH];
DWORD module_folder_error = ERROR_FILE_NOT_FOUND;
char index_path[MAX_PATH];
overlay_entry overlay_table[6];
HFONT default_gui_font;
std::atomic<COLORREF> menu_colour;

namespace {

INIT_ONCE start_up_once = INIT_ONCE_STATIC_INIT;
volatile LONG start_up_runs;

BOOL CALLBACK run_start_up_once(PINIT_ONCE, PVOID, PVOID *) {
    InterlockedIncrement(&start_up_runs);
    // Out of memory while loading the index must not unwind into the host.
    try {
        module_start_up(module_instance);
    } catch (...) {
    }
    return TRUE;
}

// A truncated name, or one whose ANSI form is a look-alike, would name
// another folder: module_folder then stays empty, and the reason is kept.
void set_module_folder() {
    module_folder[0] = '\0';
    wchar_t file_name[MAX_PATH];
    DWORD length = GetModuleFileNameW(module_instance, file_name, MAX_PATH);
    if (length == 0) {
        module_folder_error = GetLastError();
        return;
    }
    if (length >= MAX_PATH) {
        module_folder_error = ERROR_INSUFFICIENT_BUFFER;
        return;
    }
    std::string ansi;
    if (!ansi_path_of(file_name, ansi)) {
        module_folder_error = ERROR_NO_UNICODE_TRANSLATION;
        return;
    }
    if (ansi.size() >= MAX_PATH) {
        module_folder_error = ERROR_INSUFFICIENT_BUFFER;
        return;
    }
    // Cut on the UTF-16 name: a double-byte character may end in 0x5C.
    wchar_t *last_backslash = wcsrchr(file_name, L'\\');
    if (!last_backslash) {
        module_folder_error = ERROR_BAD_PATHNAME;
        return;
    }
    last_backslash[1] = L'\0';
    ansi_path_of(file_name, ansi);
    StringCchCopyA(module_folder, MAX_PATH, ansi.c_str());
    module_folder_error = ERROR_SUCCESS;
}

void set_index_path() {
    wchar_t folder[MAX_PATH];
    std::string ansi;
    index_path[0] = '\0';
    if (FAILED(
            SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)) ||
        !ansi_path_of(folder, ansi))
        return;
    if (FAILED(StringCchPrintfA(index_path, MAX_PATH, "%s\\Quillarvent\\files.dat", ansi.c_str())))
        index_path[0] = '\0';
}

void fill_overlay_table() {
    const char *extension = os_major_version < 6 ? "ico" : "png";
    for (int i = 0; i < 6; ++i) {
        overlay_entry &row = overlay_table[i];
        StringCchPrintfA(row.clsid_text, ARRAYSIZE(row.clsid_text),
                         "{4B2E1A3%d-9C7D-4E21-8F3A-6D5B2C1E0F9A}", i);
        row.clsid = overlay_clsid(i);
        row.icon_path[0] = L'\0';
        char path[MAX_PATH];
        if (!module_folder[0] || FAILED(StringCchPrintfA(path, MAX_PATH, "%simages\\icon%d.%s",
                                                         module_folder, i, extension)))
            continue;
        std::wstring wide;
        if (wide_path_of(path, wide) && wide.size() < MAX_PATH)
            StringCchCopyW(row.icon_path, MAX_PATH, wide.c_str());
    }
}

// Writes one resource to a file that must not exist yet. A failed or short
// write removes the partial file, so the next start-up writes it again.
bool write_resource_file(HRSRC resource, const wchar_t *path) {
    DWORD size = SizeofResource(module_instance, resource);
    HGLOBAL loaded = LoadResource(module_instance, resource);
    const void *data = loaded ? LockResource(loaded) : nullptr;
    if (!data || size == 0)
        return false;
    ScopedFile file(
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid())
        return GetLastError() == ERROR_FILE_EXISTS; // another process was quicker
    DWORD written = 0;
    if (WriteFile(file.get(), data, size, &written, nullptr) && written == size)
        return true;
    file.reset();
    DeleteFileW(path);
    return false;
}

} // namespace

void record_module_instance(HINSTANCE instance) {
    module_instance = instance;
}

void ensure_module_started() {
    InitOnceExecuteOnce(&start_up_once, run_start_up_once, nullptr, nullptr);
}

long module_start_up_runs() {
    return start_up_runs;
}

void read_os_version() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (GetVersionExA(&info))
        os_major_version = info.dwMajorVersion;
}

bool extract_overlay_icons() {
    int base = os_major_version < 6 ? IDR_OVERLAY_ICONS_SMALL : IDR_OVERLAY_ICONS_LARGE;
    char folder[MAX_PATH];
    if (!module_folder[0] || FAILED(StringCchPrintfA(folder, MAX_PATH, "%simages", module_folder)))
        return false;
    if (GetFileAttributesA(folder) == INVALID_FILE_ATTRIBUTES && !CreateDirectoryA(folder, nullptr))
        return false;

    bool any_present = false;
    for (int i = 0; i < 6; ++i) {
        const wchar_t *path = overlay_table[i].icon_path;
        if (!path[0])
            continue;
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
            any_present = true;
            continue;
        }
        HRSRC resource = FindResourceW(module_instance, MAKEINTRESOURCEW(base + i), RT_RCDATA);
        if (resource && write_resource_file(resource, path))
            any_present = true;
    }
    return any_present;
}

DWORD store_start_up(HMODULE module) {
    module_instance = module;
    read_os_version();
    set_module_folder();
    set_index_path();
    keep_file.use_default_path();
    return info_holder.load_index();
}

namespace {

bool index_left_out = false;

bool runs_as_service_account() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    bool service = false;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) {
        PSID user = reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid;
        service = IsWellKnownSid(user, WinLocalSystemSid) ||
                  IsWellKnownSid(user, WinLocalServiceSid) ||
                  IsWellKnownSid(user, WinNetworkServiceSid);
    }
    CloseHandle(token);
    return service;
}

} // namespace

void load_index_left_out() {
    if (!index_left_out)
        return;
    index_left_out = false;
    set_index_path();
    keep_file.use_default_path();
    info_holder.load_index();
}

void module_start_up(HMODULE module) {
    // The search indexer loads the property handler into a service of the
    // system's own, which only reads streams there. files.dat, which every
    // user may write and a load may repair in place, and the icon files are
    // left to the users' own processes.
    bool service = runs_as_service_account();
    if (service) {
        module_instance = module;
        read_os_version();
        set_module_folder();
        index_left_out = true;
    } else {
        store_start_up(module);
    }
    fill_overlay_table();
    default_gui_font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    menu_colour = GetSysColor(COLOR_MENU);
    if (!service)
        extract_overlay_icons();
    // No handler ever reads a stream from the root of the floppy drive.
    info_holder.mark_not_described(L"A:\\");
    set_store_report_sink(show_store_report);
}
