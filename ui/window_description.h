#pragma once

#include <windows.h>

#include <string>

#include "ui/window_base.h"

// The caption-less pop-up under the editor that holds the description's text
// box. It grows at once with its text, up to the work area of its monitor,
// and shrinks back no further than the editor's width and 100 pixels of
// height; a longer text scrolls within.
class CWindowDescription : public CWindowBase {
  public:
    // Creates and shows the pop-up, owned by `owner`; false when it cannot
    // be created.
    bool Create(HWND owner);
    // Shows `text` and names its item `name`.
    void ShowText(const std::string &text, const std::wstring &name);
    // Sizes the pop-up to `text`, or with null to the text box's own text.
    void FitToText(const char *text);
    // Places the pop-up 7 pixels under its owner, centred under it when it
    // is wider and `centred`, and at least `least_width` wide.
    void Dock();
    // Forgets the pop-up once it is destroyed.
    void Destroyed();

    HWND edit = nullptr;
    HWND owner = nullptr;
    int least_width = 293;
    bool centred = true;
};
