#pragma once

#include <windows.h>

#include <string>

// The shell asks an item's info tip handler from
// HKCR\TYPE\shellex\{00021500-0000-0000-C000-000000000046}, TYPE being an
// extension with its dot or "Folder".
std::string info_tip_handler_key_of(const std::string &type);

// True for the arguments the registration program accepts: "Folder", or an
// extension of 2 to 5 characters with its dot and no character that could
// reach outside HKCR\TYPE.
bool is_registrable_type(const std::string &type);

// True when the key's default value names the main handler.
bool names_main_handler(HKEY key);
LONG set_main_handler_value(HKEY key);

// Creates or updates the handler key of `type` so that it names the main
// handler. Returns a system error code.
LONG set_info_tip_handler(const std::string &type);
