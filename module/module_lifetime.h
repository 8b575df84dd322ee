#pragma once

#include <windows.h>

// Live class factories, handler objects, server locks and open windows of
// the process. DllCanUnloadNow answers from it: while any of them lives, the
// library's code may still be called.
extern volatile LONG module_object_count;

inline void module_add_ref() {
    InterlockedIncrement(&module_object_count);
}
inline void module_release() {
    InterlockedDecrement(&module_object_count);
}
