#pragma once

#include <windows.h>

#include <map>
#include <string>

// Explorer asks a file type's properties (its columns, the Details pane,
// search) from the one handler named by
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\PropertySystem\PropertyHandlers\TYPE.

// `none` when the type has no key there at all.
enum class property_handler_owner { none, ours, other };
property_handler_owner property_handler_of(const std::string &type);

// Makes this product's handler the property handler of `type` when none is
// registered, and records the type as taken; another product's handler is
// never touched. A type taken with no Details pane list of its own gets one
// that shows the description. "Folder" has no property handler. 0, or the system error
// met writing the key.
LONG take_property_handler(const std::string &type);
// The record of the types taken, with their flags, and the same written
// back: registration writes the handler's class key, which holds it, afresh.
std::map<std::string, DWORD> taken_types();
void record_taken_types(const std::map<std::string, DWORD> &taken);
// Records every type whose key names this handler, should the record have
// lost one.
void record_types_naming_this_handler();
// Removes this product's handler from every type recorded as taken, or
// whose key names it, where it is still the handler; the Details pane lists
// it wrote, and the record.
void release_property_handlers();

// Registers the info tip handler and, where free, the property handler of
// `type`. 0 or the first system error.
LONG register_type_handlers(const std::string &type);
// True when nothing is left for register_type_handlers to do; reads only.
bool type_handlers_registered(const std::string &type);
