#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// The info tip of an item: its description when it has one, otherwise file
// details or a folder's total size. Returns a CoTaskMemAlloc'ed string for
// the shell, or null for no tip. Never throws.
wchar_t *make_info_tip(const wchar_t *path);

// The context of one folder tip.
struct tip_request {
    DWORD start_ticks = 0;
    bool full_content = false;
    POINT start_cursor = {};
    // The pointer is read at most once per tick, and always before the
    // first entry.
    bool cursor_checked_once = false;
    DWORD cursor_checked = 0;
    DWORD(WINAPI *clock)() = GetTickCount;
};

// A request as a folder tip begins: the pointer where it stands now, the
// time budget from now, full content as the setting says.
tip_request start_tip_request();

struct folder_entry {
    uint64_t size;
    std::wstring name;
};

struct walk_result {
    uint64_t size;
    bool aborted;  // the pointer moved away: no tip at all
    bool complete; // every folder at every depth was listed to its end
    bool unlisted; // the folder itself could not be listed
};

// Sums the sizes below `folder`. `entries` (may be null) receives the
// folder's own entries.
walk_result folder_size_walk(const std::wstring &folder, std::vector<folder_entry> *entries,
                             tip_request &request);

// Builds the folder tip text for a request; false means no tip.
bool folder_summary_text(const std::wstring &folder, tip_request &request, std::wstring &text);

std::wstring format_size(uint64_t bytes);

// The generated tip: file details or the folder summary. False: no tip.
bool compose_generated_tip(const wchar_t *path, std::wstring &tip);
