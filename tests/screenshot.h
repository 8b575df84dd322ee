#pragma once

#include <windows.h>

#include <string>

// Writes the screen area `area` to the PNG file `target` (a Windows path on
// Wine's Z: drive) with ImageMagick's import on the display Wine draws on;
// true once the file is written whole.
bool save_screenshot(const std::string &target, const RECT &area);
