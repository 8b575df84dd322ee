#pragma once

#include <windows.h>

// The product's one user setting lives under HKLM\software\Quillarvent.
extern const char settings_key_path[];
extern const char full_search_value_name[];

// True when folder info tips are to be computed over the whole folder without
// a time limit. Read from the registry on every call; absent means off.
bool is_full_search_on();
// Stores the setting; false when the settings key cannot be opened for
// writing (a user without rights on it).
bool set_full_search(bool on);
