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
    DWORD cursor_checked = 0; // tick of the last pointer check
};

struct folder_entry {
    uint64_t size;
    std::wstring name;
};

struct walk_result {
    uint64_t size;
    bool aborted; // the pointer moved away: no tip at all
};

// Sums the sizes below `folder`. `entries` (may be null) receives the
// folder's own entries, `complete` (may be null) is set when the listing ran
// to its end within the time budget.
walk_result folder_size_walk(const std::wstring &folder, std::vector<folder_entry> *entries,
                             bool *complete, tip_request &request);

// Builds the folder tip text for a request; false means no tip.
bool folder_summary_text(const std::wstring &folder, tip_request &request, std::wstring &text);

std::string format_size_ansi(uint64_t bytes);
std::wstring format_size(uint64_t bytes);

// The generated tip: file details or the folder summary. False: no tip.
bool compose_generated_tip(const wchar_t *path, std::wstring &tip);
