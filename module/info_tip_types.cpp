#include "module/info_tip_types.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "module/class_ids.h"
#include "module/win_handles.h"
#include "store/info_tip_key.h"
#include "store/property_handler_key.h"

namespace {

const char sibling_clsid_text[] = "{2D7A5C13-8E4B-4F61-9A0C-3B6E1F4D7A92}";
const char info_tip_subkey[] = "shellex\\{00021500-0000-0000-C000-000000000046}";

// Calls `visit` for each subkey of HKCR whose name starts with a dot.
template <typename Visit> void for_each_file_type(Visit visit) {
    char name[1024];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof(name);
        LONG result = RegEnumKeyExA(HKEY_CLASSES_ROOT, index, name, &length, nullptr, nullptr,
                                    nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            return;
        if (result == ERROR_SUCCESS && name[0] == '.')
            visit(std::string(name, length));
    }
}

std::string default_value_of(HKEY key, const char *subkey) {
    char value[260];
    LONG size = sizeof(value);
    if (RegQueryValueA(key, subkey, value, &size) != ERROR_SUCCESS || size <= 0)
        return std::string();
    value[sizeof(value) - 1] = '\0';
    return value;
}

// Deletes `parent`\`leaf`, and `parent` too when nothing else is left in it.
bool delete_leaf(HKEY root, const std::string &parent, const std::string &leaf) {
    DWORD subkeys = 0, values = 0;
    {
        ScopedRegKey key;
        if (RegOpenKeyExA(root, parent.c_str(), 0, KEY_READ, key.receive()) != ERROR_SUCCESS ||
            RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                             &values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
    }
    if (RegDeleteKeyA(root, (parent + "\\" + leaf).c_str()) != ERROR_SUCCESS)
        return false;
    return subkeys > 1 || values > 0 || RegDeleteKeyA(root, parent.c_str()) == ERROR_SUCCESS;
}

bool names_us_or_sibling(const std::string &value) {
    return value == main_clsid_text || value.find(sibling_clsid_text) != std::string::npos;
}

} // namespace

void register_info_tip_for_all_types() {
    for_each_file_type([](const std::string &type) { set_info_tip_handler(type); });
    set_info_tip_handler("Folder");
}

void take_property_handlers_for_all_types() {
    record_types_naming_this_handler();
    for_each_file_type([](const std::string &type) {
        if (is_registrable_type(type))
            take_property_handler(type);
    });
}

void remove_info_tip_registrations() {
    RegDeleteKeyA(HKEY_CLASSES_ROOT, "\\*\\shellex\\ContextMenuHandlers\\Test");
    RegDeleteKeyA(HKEY_CLASSES_ROOT, (std::string("\\CLSID\\") + sibling_clsid_text).c_str());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, "Folder\\shellex\\{00021500-0000-0000-C000-000000000046}");

    for_each_file_type([](const std::string &type) {
        std::string handler =
            default_value_of(HKEY_CLASSES_ROOT, (type + "\\" + info_tip_subkey).c_str());
        if (names_us_or_sibling(handler) && !delete_leaf(HKEY_CLASSES_ROOT, type + "\\shellex",
                                                         "{00021500-0000-0000-C000-000000000046}"))
            return;
        std::string file_class = default_value_of(HKEY_CLASSES_ROOT, type.c_str());
        if (file_class.empty())
            return;
        std::string icon_handler =
            default_value_of(HKEY_CLASSES_ROOT, (file_class + "\\shellex\\IconHandler").c_str());
        if (icon_handler.find(sibling_clsid_text) != std::string::npos)
            delete_leaf(HKEY_CLASSES_ROOT, file_class + "\\shellex", "IconHandler");
    });

    RegDeleteKeyA(HKEY_CLASSES_ROOT, (std::string("CLSID\\") + sibling_clsid_text).c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                  (std::string("SOFTWARE\\Classes\\CLSID\\") + sibling_clsid_text).c_str());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, "Zanq.TextInfo.1");
    RegDeleteKeyA(HKEY_CLASSES_ROOT, "Zanq.TextInfo");
}
