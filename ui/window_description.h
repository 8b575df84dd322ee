#pragma once

#include <windows.h>

#include "ui/window_base.h"

// The caption-less pop-up under the editor that holds the description's text
// box. It grows at once with its text and shrinks back no further than the
// editor's width and 100 pixels of height.
class CWindowDescription : public CWindowBase {
  public:
    // Creates and shows the pop-up; false when it cannot be created.
    bool Create();
    // Shows the editor's text and names its item.
    void ShowText();
    // Sizes the pop-up to `text`, or with null to the text box's own text.
    void FitToText(const char *text);
    // Places the pop-up 7 pixels under the editor, centred under it when it
    // is wider, and at least as wide.
    void Dock();
    // Forgets the pop-up once it is destroyed.
    void Destroyed();

    HWND edit = nullptr;
};
