#pragma once

#include <windows.h>

// The product's user settings live under HKLM\software\Quillarvent, each a
// REG_DWORD value that is on when it holds 1; absent means off.
extern const char settings_key_path[];
extern const char full_search_value_name[];
// On: the overlays open items the index does not know on network and
// removable drives too, which may stall a view while a server does not answer.
extern const char probe_all_drives_value_name[];

// Read from the registry on every call.
bool is_setting_on(const char *value_name);
// 0, or why the value could not be stored: the settings key is missing, or
// the user has no rights on it.
DWORD set_setting(const char *value_name, bool on);

// True when folder info tips are to be computed over the whole folder without
// a time limit.
bool is_full_search_on();
// Stores the setting; false when the settings key cannot be opened for
// writing (a user without rights on it).
bool set_full_search(bool on);
