#pragma once

#include <functional>
#include <string>
#include <string_view>

// Reads the folder name table of tree.dat and the records of descr.dat, both
// held in memory, and hands every complete record to `found` as a full ANSI
// path and its text. Malformed data of any kind, counts and lengths out of
// range included, ends the reading there; nothing is read or written outside
// the given bytes. True when both were read to their last byte.
bool parse_legacy_descriptions(
    std::string_view tree, std::string_view descr,
    const std::function<void(const std::string &path, const std::string &text)> &found);

// Moves the descriptions of an older installation in `base` (a folder path
// ending with a backslash) into description streams and the index, deletes
// tree.dat and descr.dat and tells the user. Files it cannot read whole, or
// whose descriptions it could not all enter, stay where they are, and then
// nothing is claimed.
void import_legacy_descriptions(const std::string &base);
