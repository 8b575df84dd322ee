#pragma once

#include <windows.h>

#include <atomic>

#include "module/class_ids.h"

// Process-wide values, filled once by module_start_up and read-only after it,
// so any shell thread may read them without a lock.

struct overlay_entry {
    char clsid_text[39];         // "{4B2E1A3n-9C7D-4E21-8F3A-6D5B2C1E0F9A}"
    wchar_t icon_path[MAX_PATH]; // module_folder + images\iconN.png (or .ico); empty if too long
    GUID clsid;
};

extern HINSTANCE module_instance;
extern DWORD os_major_version;
extern char module_folder[MAX_PATH]; // ends with a backslash; empty if unknown
// Why module_folder is empty: ERROR_INSUFFICIENT_BUFFER for a library path
// too long for it, ERROR_NO_UNICODE_TRANSLATION for one without an exact
// ANSI form; 0 once it is set.
extern DWORD module_folder_error;
extern char index_path[MAX_PATH]; // ...\Quillarvent\files.dat; empty if unknown
extern overlay_entry overlay_table[6];
extern HFONT default_gui_font;
// Follows the system's colour: see colours_changed.
extern std::atomic<COLORREF> menu_colour;

// Records the library's handle at process attach. Nothing else may run under
// the loader lock; the real start-up waits for the first exported call.
void record_module_instance(HINSTANCE instance);

// Runs module_start_up for the recorded module exactly once per process, also
// when several threads arrive at the same time; later callers wait for the
// first one to finish. Every export but DllCanUnloadNow calls this first.
void ensure_module_started();

// How many times ensure_module_started has run the start-up (0 or 1).
long module_start_up_runs();

// What the store needs of start-up: the module's folder, the index path and
// the index. A program that uses the store calls this with its own handle;
// the result is the index load's (see CInfoHolder::load_index).
DWORD store_start_up(HMODULE module);
void module_start_up(HMODULE module);
// Registration run by a service account (a deployment tool) needs the index
// that start-up leaves out in such a process.
void load_index_left_out();
void read_os_version();

// Writes the six overlay icon files that are missing. True when at least one
// of them exists afterwards.
bool extract_overlay_icons();
