#pragma once

#include <string>

// Standard output and error take UTF-8 text. A console gets it as UTF-16,
// so every character shows; a pipe or file gets the UTF-8 bytes.
// False when the text could not be written whole (a closed pipe, a full
// disk); the program then ends with a failure status.
bool write_out(const std::string &utf8);
bool output_was_lost();
void write_error(const std::string &utf8);
// All of standard input as bytes, up to `limit`; false when it cannot be
// read or is longer.
bool read_input_bytes(std::string &bytes, size_t limit);

// All of standard input as ANSI text: typed into a console (ended by
// Ctrl+Z), or from a pipe or file as UTF-8 (with or without a byte-order
// mark) or, when it is not UTF-8, as ANSI text already. False with
// `problem` set when it cannot be read or holds a character the code page
// lacks.
bool read_input_text(std::string &ansi, std::string &problem);
