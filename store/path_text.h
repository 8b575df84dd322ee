#pragma once

#include <string>

// Paths are stored in the system ANSI code page. A conversion either keeps
// every character or fails: the system's best-fit mapping would turn
// "Łodz.txt" into "Lodz.txt" and full-width "．．＼" into "..\", a path that
// names another file.

// The ANSI form of a UTF-16 path; false when a character has no exact
// equivalent in the code page (or the path is null).
bool ansi_path_of(const wchar_t *wide, std::string &ansi);
// The UTF-16 form of an ANSI path; false for bytes the code page does not
// define.
bool wide_path_of(const std::string &ansi, std::wstring &wide);
// True when the UTF-16 path converts exactly.
bool fits_code_page(const wchar_t *wide);
