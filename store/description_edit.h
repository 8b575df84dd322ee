#pragma once

#include <windows.h>

#include <string>

// What every way of writing a description shares with the editor: the same
// cut of an overlong text and the same words for a failure.

extern const char truncation_warning[];

// Cuts `text` to what a description stream holds, on a character boundary
// of the system code page; true when it was cut.
bool cut_to_stored_length(std::string &text);

// The message for a code of CInfoHolder::add_description, or
// ERROR_NO_UNICODE_TRANSLATION for a text without an exact form in the
// system code page; null for success and for 1, whose message the store has
// shown already.
const char *save_error_text(DWORD code);
// The message for a failed CInfoHolder::remove_description, or
// ERROR_NO_UNICODE_TRANSLATION for an item named outside the code page.
const char *remove_error_text(DWORD code);
