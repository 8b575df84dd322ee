#pragma once

#include <windows.h>

// The property schema, installed beside the library.
inline constexpr char property_schema_file_name[] = "quillarvent.propdesc";

// What DllRegisterServer and DllUnregisterServer do.
HRESULT register_server();
// `ask` false removes the registrations as the answer No to "Remove all
// descriptions ?" does, without asking: for a silent uninstall.
HRESULT unregister_server(bool ask = true);

// The install-time steps, exposed for their tests.
void install_steps();
bool prepare_configuration();
void remove_all_descriptions(bool ask);

// Sets RunOnce "dele" to delete `path` at the next logon, or with a null path
// to remove the whole program folder.
void schedule_removal(const char *path);
