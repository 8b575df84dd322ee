#include "store/info_tip_key.h"

#include <cstring>

#include "module/class_ids.h"
#include "module/win_handles.h"

bool names_main_handler(HKEY key) {
    char value[260];
    DWORD size = sizeof(value) - 1, type = 0;
    if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(value), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    value[size] = '\0';
    return strcmp(value, main_clsid_text) == 0;
}

LONG set_main_handler_value(HKEY key) {
    return RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(main_clsid_text),
                          sizeof(main_clsid_text));
}

std::string info_tip_handler_key_of(const std::string &type) {
    return type + "\\shellex\\{00021500-0000-0000-C000-000000000046}";
}

bool is_registrable_type(const std::string &type) {
    if (type == "Folder")
        return true;
    if (type.size() < 2 || type.size() > 5 || type[0] != '.')
        return false;
    for (size_t i = 1; i < type.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(type[i]);
        if (c < 0x20 || strchr("\\/:*?\"<>|. ", c))
            return false;
    }
    return true;
}

LONG set_info_tip_handler(const std::string &type) {
    ScopedRegKey key;
    LONG result =
        RegCreateKeyExA(HKEY_CLASSES_ROOT, info_tip_handler_key_of(type).c_str(), 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.receive(), nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    return names_main_handler(key.get()) ? ERROR_SUCCESS : set_main_handler_value(key.get());
}
