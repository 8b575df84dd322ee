#pragma once

#include <string>

// The type under which an item's info tip handler is registered: "Folder",
// or the extension of the path's last component with its dot when that is 2
// to 5 characters long; empty when nothing is to be registered.
std::string info_tip_type_of(const std::wstring &path, bool is_folder);

// Makes the main handler the info tip handler of the item's type, and the
// property handler its property handler where the type has none. Without the
// rights to create the keys, tells the user and starts the elevated
// registration program beside the library, without waiting for it.
void register_info_tip_for_path(const std::string &path);
