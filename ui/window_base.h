#pragma once

#include <windows.h>

#include <string>

// Sent to the editor by a window docked to it that changed its size: the
// editor moves the group back into the work area if it left it.
const UINT group_resized_message = WM_APP + 4;

// What the library's windows share: their window class, registered once and
// given up again when the library may unload, and the handle of the window.
//
// The objects are process-wide statics. Their destructors make no window
// calls: when the library is freed no window of it exists, and at process
// exit there is nothing left to do.
class CWindowBase {
  public:
    CWindowBase() = default;
    CWindowBase(const CWindowBase &) = delete;
    CWindowBase &operator=(const CWindowBase &) = delete;

    // Runs once per window, on its first paint or activation.
    virtual void Initialize() {}

    // Registers the class `name` unless this object already did. A class of
    // that name left behind by an earlier load of the library, whose
    // procedure is gone with it, is replaced.
    bool RegisterWindowClass(WNDPROC procedure, HBRUSH background, const wchar_t *name, HICON icon);
    // Gives the class up when none of its windows exists; true when it is
    // not registered afterwards.
    bool UnregisterWindowClass();

    bool class_registered = false;
    std::wstring class_name;
    HINSTANCE instance = nullptr;
    HWND hwnd = nullptr;
    bool initialized = false;
    HCURSOR cursor = nullptr;

  protected:
    ~CWindowBase() = default;

    // The work area of the monitor `window` is on, or nearest to.
    static RECT work_area_of(HWND window);
};
