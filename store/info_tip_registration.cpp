#include "store/info_tip_registration.h"

#include <windows.h>
#include <shellapi.h>

#include "module/module_start_up.h"
#include "module/win_handles.h"
#include "store/info_tip_key.h"
#include "store/property_handler_key.h"
#include "store/path_text.h"
#include "store/store_report.h"

namespace {

const char uac_message[] =
    "May be \"User Access Control \" turned on. In this case - you will be now asked about "
    "access for program quillarvent_register. Its need for register Info Tip for this file "
    "extension. Thank's for your understanding.";

} // namespace

// Worked out on the UTF-16 path: in a double-byte code page the second byte
// of a character may be a backslash or a dot.
std::string info_tip_type_of(const std::wstring &path, bool is_folder) {
    if (is_folder)
        return "Folder";
    size_t name_start = path.find_last_of(L'\\');
    name_start = name_start == std::wstring::npos ? 0 : name_start + 1;
    size_t dot = path.find_last_of(L'.');
    std::string type;
    if (dot == std::wstring::npos || dot < name_start || path.size() - dot < 2 ||
        path.size() - dot >= 6 || !ansi_path_of(path.substr(dot).c_str(), type))
        return std::string();
    return type;
}

void register_info_tip_for_path(const std::string &path) {
    std::wstring wide;
    if (!wide_path_of(path, wide))
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    FindClose(search);
    std::string type = info_tip_type_of(wide, found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (type.empty())
        return;

    if (type_handlers_registered(type) || register_type_handlers(type) == ERROR_SUCCESS)
        return;

    // Without a known program folder the program's name would be looked up
    // in the host's current folder, where anyone may have put one.
    if (!module_folder[0] || store_reports_quiet())
        return;
    store_report("Information", uac_message);
    std::string program = std::string(module_folder) + "quillarvent_registry.exe";
    ShellExecuteA(nullptr, "open", program.c_str(), type.c_str(), nullptr, SW_HIDE);
}
