#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The two text forms descriptions are kept in outside their streams. Paths,
// names and texts are ANSI (system code page), as the store holds them.

// A backup: a header line, then a line per item, "KIND<tab>PATH<tab>TEXT",
// in UTF-8, the text with the escapes of escaped_utf8_of_ansi. Empty lines
// and lines starting with "#" are for people.
extern const char backup_header[];

struct backup_entry {
    int32_t kind = 0;
    std::string path;
    std::string text;
};

// False when the path has no exact UTF-8 form.
bool backup_line_of(const backup_entry &entry, std::string &line);
// `line` without its line end; false with `problem` set when it is not one.
bool parse_backup_line(const std::string &line, backup_entry &entry, std::string &problem);

// descript.ion, as file managers and archivers keep it: a line per item,
// the name (quoted when it holds a space), a space and the description. A
// multi-line description has its lines joined by a literal "\n" and ends
// with the bytes 0x04 0xC2.
struct descript_ion_entry {
    std::string name;
    std::string text;
};

// The line without its line end, in ANSI or, for a file marked as UTF-8, in
// UTF-8; false with `problem` set when the name or text has no UTF-8 form,
// or the text could not be read back as it is.
bool descript_ion_line_of(const descript_ion_entry &entry, bool utf8, std::string &line,
                          std::string &problem);
// False with `problem` set for a line that names no item of the folder.
bool parse_descript_ion_line(const std::string &line, bool utf8, descript_ion_entry &entry,
                             std::string &problem);

// Why a descript.ion must be left as it is, or null when it is ANSI text
// (or UTF-8 with its byte-order mark) that lines can be added to. Refused:
// UTF-16, zero bytes, UTF-8 without its mark on a system whose code page is
// not UTF-8, and bytes the code page does not define. `for_writing` also refuses
// text after a DOS end-of-file mark, which the lines written would follow.
const char *descript_ion_refusal(const std::string &bytes, bool for_writing);

// The lines of a text file without their line ends (CR LF or LF); `utf8`
// tells whether it started with a UTF-8 byte-order mark, which is dropped.
std::vector<std::string> split_lines(const std::string &bytes, bool &utf8);
