#include "module/settings.h"

#include "module/win_handles.h"

const char settings_key_path[] = "software\\Quillarvent";
const char full_search_value_name[] = "full_search";

bool is_full_search_on() {
    ScopedRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0, KEY_QUERY_VALUE, key.receive()) !=
        ERROR_SUCCESS)
        return false;
    DWORD value = 0, type = 0, size = sizeof(value);
    if (RegQueryValueExA(key.get(), full_search_value_name, nullptr, &type,
                         reinterpret_cast<BYTE *>(&value), &size) != ERROR_SUCCESS)
        return false;
    return type == REG_DWORD && size == sizeof(value) && value == 1;
}

bool set_full_search(bool on) {
    ScopedRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0, KEY_SET_VALUE, key.receive()) !=
        ERROR_SUCCESS)
        return false;
    DWORD value = on ? 1 : 0;
    return RegSetValueExA(key.get(), full_search_value_name, 0, REG_DWORD,
                          reinterpret_cast<const BYTE *>(&value), sizeof value) == ERROR_SUCCESS;
}
