#include "module/folder_tree.h"

#include <windows.h>

#include <vector>

namespace {

bool is_drive_path(const std::wstring &path) {
    return path.size() >= 3 &&
           ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           path[1] == L':' && path[2] == L'\\';
}

bool is_share_path(const std::wstring &path) {
    if (path.size() < 5 || path.compare(0, 2, L"\\\\") != 0 || path[2] == L'\\' ||
        path[2] == L'?' || path[2] == L'.')
        return false;
    // The share itself is never taken: at least one name must follow it.
    size_t server_end = path.find(L'\\', 2);
    if (server_end == std::wstring::npos || server_end + 1 >= path.size() ||
        path[server_end + 1] == L'\\')
        return false;
    size_t share_end = path.find(L'\\', server_end + 1);
    return share_end != std::wstring::npos && share_end + 1 < path.size() &&
           path[share_end + 1] != L'\\';
}

// "." and ".." would step out of the tree; "\\?\" names are not normalised,
// so they are refused rather than resolved.
bool has_dot_component(const std::wstring &path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        std::wstring part = path.substr(start, end - start);
        if (part == L"." || part == L"..")
            return true;
        start = end + 1;
    }
    return false;
}

// Iterative: a tree planted deep enough would overflow the stack of a
// recursive walk.
bool remove_tree(const std::wstring &root) {
    std::vector<std::wstring> pending{root};
    std::vector<std::wstring> emptied; // every parent before its children
    while (!pending.empty()) {
        std::wstring folder = std::move(pending.back());
        pending.pop_back();
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                std::wstring path = folder + L"\\" + name;
                DWORD attributes = found.dwFileAttributes;
                if (attributes & FILE_ATTRIBUTE_READONLY)
                    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
                if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileW(path.c_str());
                else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                    RemoveDirectoryW(path.c_str()); // the link, not what it points to
                else
                    pending.push_back(path);
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        emptied.push_back(std::move(folder));
    }
    for (auto folder = emptied.rbegin(); folder != emptied.rend(); ++folder)
        RemoveDirectoryW(folder->c_str());
    return GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES &&
           (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
}

} // namespace

bool delete_folder_tree(const std::wstring &folder) {
    std::wstring path = folder;
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    if (has_dot_component(path) || path.find(L'/') != std::wstring::npos)
        return false;
    std::wstring long_form;
    if (is_drive_path(path) && path.size() > 3)
        long_form = L"\\\\?\\" + path;
    else if (is_share_path(path))
        long_form = L"\\\\?\\UNC\\" + path.substr(2);
    else
        return false;
    DWORD attributes = GetFileAttributesW(long_form.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return RemoveDirectoryW(long_form.c_str()) != 0;
    return remove_tree(long_form);
}
