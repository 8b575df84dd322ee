#pragma once

#include <string>

// Paths are stored in the system ANSI code page. A conversion either keeps
// every character or fails: the system's best-fit mapping would turn
// "Łodz.txt" into "Lodz.txt" and full-width "．．＼" into "..\", a path that
// names another file.

// The ANSI form of a UTF-16 path; false when a character has no exact
// equivalent in the code page (or the path is null).
bool ansi_path_of(const wchar_t *wide, std::string &ansi);
// The same conversion for a description's text, which is stored as typed or
// not at all.
inline bool exact_ansi_of(const wchar_t *wide, std::string &ansi) {
    return ansi_path_of(wide, ansi);
}
// The UTF-16 form of an ANSI path; false for bytes the code page does not
// define.
bool wide_path_of(const std::string &ansi, std::wstring &wide);
// True when the UTF-16 path converts exactly.
bool fits_code_page(const wchar_t *wide);

// The length of the longest start of `text` no longer than `limit` bytes
// that ends on a character boundary of `code_page`: a cut there never leaves
// half a double-byte or UTF-8 character behind.
size_t whole_characters_within(const std::string &text, size_t limit, unsigned code_page);

// The name after the last backslash of a path: the whole path when it has
// none, empty when it ends with one.
std::wstring file_name_of(const std::wstring &path);

// The position of the first backslash of `text` at or after `start` that is
// a character of its own in `code_page`, not the second byte of a
// double-byte character; npos when there is none.
size_t next_backslash(const std::string &text, size_t start, unsigned code_page);
// The position of the last such backslash; npos when there is none.
size_t last_backslash(const std::string &text, unsigned code_page);

// Only a full path in its plain spelling: a drive or share path that the
// system's own resolution leaves as it is, with no stream name, wildcard,
// device or "\\?\" form. Another spelling would name a file relative to
// whichever folder is current, a stream, or a device.
bool is_canonical_full_path(const wchar_t *path);

// True when a stored ANSI path and a UTF-16 one name the same path; one
// without an exact ANSI form matches nothing.
bool same_path(const char *ansi, const wchar_t *wide);
