#pragma once

#include <windows.h>

// Shows the six marker pictures in a modal dialog owned by `owner`. The
// command id of the pressed button (IDC_KIND_FIRST + kind), or 0 when the
// user closed the dialog without a choice.
INT_PTR run_icon_chooser(HWND owner);
