#include "module/settings.h"

#include "module/win_handles.h"

const char settings_key_path[] = "software\\Quillarvent";
const char full_search_value_name[] = "full_search";
const char probe_all_drives_value_name[] = "probe_all_drives";

bool is_setting_on(const char *value_name) {
    ScopedRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0, KEY_QUERY_VALUE, key.receive()) !=
        ERROR_SUCCESS)
        return false;
    DWORD value = 0, type = 0, size = sizeof(value);
    if (RegQueryValueExA(key.get(), value_name, nullptr, &type, reinterpret_cast<BYTE *>(&value),
                         &size) != ERROR_SUCCESS)
        return false;
    return type == REG_DWORD && size == sizeof(value) && value == 1;
}

DWORD set_setting(const char *value_name, bool on) {
    ScopedRegKey key;
    LONG error =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0, KEY_SET_VALUE, key.receive());
    if (error != ERROR_SUCCESS)
        return error;
    DWORD value = on ? 1 : 0;
    return RegSetValueExA(key.get(), value_name, 0, REG_DWORD,
                          reinterpret_cast<const BYTE *>(&value), sizeof value);
}

bool is_full_search_on() {
    return is_setting_on(full_search_value_name);
}

bool set_full_search(bool on) {
    return set_setting(full_search_value_name, on) == ERROR_SUCCESS;
}
