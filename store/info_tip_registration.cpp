#include "store/info_tip_registration.h"

#include <windows.h>
#include <shellapi.h>

#include "module/module_start_up.h"
#include "module/win_handles.h"
#include "store/info_tip_key.h"

namespace {

const char uac_message[] =
    "May be \"User Access Control \" turned on. In this case - you will be now asked about "
    "access for program quillarvent_register. Its need for register Info Tip for this file "
    "extension. Thank's for your understanding.";

} // namespace

std::string info_tip_type_of(const std::string &path, bool is_folder) {
    if (is_folder)
        return "Folder";
    size_t name_start = path.find_last_of('\\');
    name_start = name_start == std::string::npos ? 0 : name_start + 1;
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < name_start || path.size() - dot < 2 ||
        path.size() - dot >= 6)
        return std::string();
    return path.substr(dot);
}

void register_info_tip_for_path(const std::string &path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    FindClose(search);
    std::string type = info_tip_type_of(path, found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (type.empty())
        return;

    std::string subkey = info_tip_handler_key_of(type);
    {
        ScopedRegKey key;
        LONG opened = RegOpenKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0,
                                    KEY_QUERY_VALUE | KEY_SET_VALUE, key.receive());
        if (opened == ERROR_SUCCESS) {
            if (!names_main_handler(key.get()))
                set_main_handler_value(key.get());
            return;
        }
        // A key we may read but not change needs the elevated program only
        // when it names another handler.
        ScopedRegKey readable;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_QUERY_VALUE,
                          readable.receive()) == ERROR_SUCCESS &&
            names_main_handler(readable.get()))
            return;
    }
    if (set_info_tip_handler(type) == ERROR_SUCCESS)
        return;

    MessageBoxA(nullptr, uac_message, "Information", MB_OK);
    std::string program = std::string(module_folder) + "quillarvent_registry.exe";
    ShellExecuteA(nullptr, "open", program.c_str(), type.c_str(), nullptr, SW_HIDE);
}
