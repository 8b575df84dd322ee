#include "tests/test_support.h"

#include <shlobj.h>

#include "tests/screenshot.h"

#include "module/folder_tree.h"

#include <atomic>

TempFolder::TempFolder() {
    static std::atomic<int> counter{0};
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "plivar_test_" + std::to_string(GetCurrentProcessId()) + "_" +
            std::to_string(counter++) + "\\";
    delete_tree(path_);
    CreateDirectoryA(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    delete_tree(path_);
}

void delete_tree(const std::string &path) {
    wchar_t wide[MAX_PATH * 4];
    if (MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH * 4))
        delete_folder_tree(wide);
}

std::string build_output_folder() {
    char exe[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string folder(exe, n);
    return folder.substr(0, folder.rfind('\\') + 1);
}

HMODULE load_built_dll_from(const std::string &folder) {
    std::string target = folder + "plivar_23.dll";
    if (!CopyFileA((build_output_folder() + "plivar_23.dll").c_str(), target.c_str(), FALSE))
        return nullptr;
    return LoadLibraryA(target.c_str());
}

bool read_whole_file(const std::string &path, std::string &bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) != 0;
    if (ok) {
        bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        ok = bytes.empty() ||
             (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
              read == bytes.size());
    }
    CloseHandle(file);
    return ok;
}

bool write_whole_file(const std::string &path, const std::string &bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    CloseHandle(file);
    return ok;
}

std::string rcdata_bytes(HMODULE module, int id) {
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10));
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const char *data = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
    return data ? std::string(data, SizeofResource(module, resource)) : std::string();
}

bool path_exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

DWORD run_program(std::string command, DWORD timeout_ms, const std::string &current_folder) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                        current_folder.empty() ? nullptr : current_folder.c_str(), &startup,
                        &process))
        return GetLastError() | 0x80000000u;
    WaitForSingleObject(process.hProcess, timeout_ms);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

bool take_screenshot(const std::string &name, const RECT &area) {
    std::string folder = build_output_folder() + "screenshots\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    return save_screenshot(folder + name + ".png", area);
}

std::string user_keep_folder() {
    char local[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local)))
        return std::string();
    return std::string(local) + "\\Quillarvent";
}

void clear_user_keep_folder() {
    std::string folder = user_keep_folder();
    if (!DeleteFileA(folder.c_str()))
        delete_tree(folder);
}
