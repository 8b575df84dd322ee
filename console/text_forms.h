#pragma once

#include <string>

// Conversions between the store's ANSI text (system code page) and the
// UTF-8 and UTF-16 of the console program's files and command line. Each
// one is exact or fails: a description is never stored under look-alike
// characters.

bool utf8_of_wide(const std::wstring &wide, std::string &utf8);
// False for bytes that are not UTF-8.
bool wide_of_utf8(const std::string &utf8, std::wstring &wide);
// False for a character the code page lacks (or a zero character).
bool ansi_of_wide(const std::wstring &wide, std::string &ansi);
bool ansi_of_utf8(const std::string &utf8, std::string &ansi);
// For showing only: bytes the code page does not define become U+FFFD.
std::string shown_utf8_of_ansi(const std::string &ansi);

// A description as one field of a line: UTF-8, with "\\", "\n", "\r" and
// "\t" for those characters and "\xHH" for a byte the code page does not
// define, so every stored text comes back byte for byte.
std::string escaped_utf8_of_ansi(const std::string &ansi);
// The text of such a field; false with `problem` set for a bad escape, for
// bytes that are not UTF-8 and for characters the code page lacks.
bool ansi_of_escaped_utf8(const std::string &field, std::string &ansi, std::string &problem);
