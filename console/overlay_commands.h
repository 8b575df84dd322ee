#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Explorer asks only the first 15 overlay identifiers, in the order of their
// key names; the rest never show.
constexpr size_t explorer_overlay_slots = 15;

struct overlay_identifier {
    std::wstring name;    // the key's name, leading spaces and all
    std::wstring product; // its class's name, or the trimmed key name
    bool ours = false;
};

struct overlay_slots {
    std::vector<overlay_identifier> identifiers; // in the order Explorer takes them
    std::vector<std::wstring> left_out;          // our key names past the slots
    std::vector<std::wstring> unregistered;      // our key names not there at all
    std::vector<std::wstring> ahead; // when some are left out: the others' products in the slots
};

// Reads the identifiers of this machine and orders them as Explorer does.
// ERROR_SUCCESS, or why the key could not be read.
DWORD read_overlay_slots(overlay_slots &slots);
