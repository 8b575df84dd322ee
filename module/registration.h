#pragma once

#include <windows.h>

// What DllRegisterServer and DllUnregisterServer do.
HRESULT register_server();
HRESULT unregister_server();

// The install-time steps, exposed for their tests.
void install_steps();
bool prepare_configuration();
void remove_all_descriptions();

// Sets RunOnce "dele" to delete `path` at the next logon, or with a null path
// to remove the whole program folder.
void schedule_removal(const char *path);
