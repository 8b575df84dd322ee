#include "shell/info_tip.h"

#include <objbase.h>
#include <strsafe.h>

#include <algorithm>
#include <cstdio>

#include "module/settings.h"
#include "store/info_holder.h"

namespace {

const DWORD time_budget_ms = 3000;
const LONG pointer_slack = 5;
const size_t listed_name_chars = 27;

wchar_t *to_co_task_string(const std::wstring &text) {
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto *tip = static_cast<wchar_t *>(CoTaskMemAlloc(bytes));
    if (tip)
        memcpy(tip, text.c_str(), bytes);
    return tip;
}

wchar_t *description_tip(const std::string &text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0)
        return nullptr;
    auto *tip = static_cast<wchar_t *>(CoTaskMemAlloc(n * sizeof(wchar_t)));
    if (tip && !MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, tip, n)) {
        CoTaskMemFree(tip);
        tip = nullptr;
    }
    return tip;
}

uint64_t size_of(DWORD high, DWORD low) {
    return (static_cast<uint64_t>(high) << 32) | low;
}

SYSTEMTIME local_time_of(const FILETIME &time) {
    SYSTEMTIME utc = {}, local = {};
    if (!FileTimeToSystemTime(&time, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return utc;
    return local;
}

bool file_details_tip(const wchar_t *path, std::wstring &tip) {
    const wchar_t *last_backslash = wcsrchr(path, L'\\');
    if (!last_backslash || last_backslash == path)
        return true;
    // The attributes hold size and times without opening the file, so a file
    // another program holds open, or a long path, still gets its tip.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return true;
    // Formatted in UTF-16 throughout: a name outside the ANSI code page
    // shows as it is, not as a look-alike.
    std::wstring size = format_size(size_of(data.nFileSizeHigh, data.nFileSizeLow));
    SYSTEMTIME created = local_time_of(data.ftCreationTime);
    SYSTEMTIME opened = local_time_of(data.ftLastAccessTime);
    SYSTEMTIME changed = local_time_of(data.ftLastWriteTime);
    wchar_t text[1024];
    StringCchPrintfW(text, ARRAYSIZE(text),
                     L"File name : %s\nFile size : %s\nCreated : %d.%d.%d %d:%d\nLast opened : "
                     L"%d.%d.%d %d:%d\nLast changed : %d.%d.%d %d:%d",
                     last_backslash + 1, size.c_str(), created.wDay, created.wMonth, created.wYear,
                     created.wHour, created.wMinute, opened.wDay, opened.wMonth, opened.wYear,
                     opened.wHour, opened.wMinute, changed.wDay, changed.wMonth, changed.wYear,
                     changed.wHour, changed.wMinute);
    tip = text;
    return true;
}

// The pointer is read at most once per tick of the system clock: a user
// cannot move it meaningfully faster, and the read is a round trip.
bool pointer_moved_away(tip_request &request) {
    DWORD now = request.clock();
    if (request.cursor_checked_once && now == request.cursor_checked)
        return false;
    request.cursor_checked_once = true;
    request.cursor_checked = now;
    POINT at;
    if (!GetCursorPos(&at))
        return false;
    return labs(at.x - request.start_cursor.x) > pointer_slack ||
           labs(at.y - request.start_cursor.y) > pointer_slack;
}

} // namespace

std::wstring format_size(uint64_t bytes) {
    double value = static_cast<double>(bytes);
    const wchar_t *unit = L"byte";
    if (bytes > 1000000000ull) {
        value /= 1e9;
        unit = L"Gb";
    } else if (bytes > 1000000ull) {
        value /= 1e6;
        unit = L"Mb";
    } else if (bytes > 1000ull) {
        value /= 1e3;
        unit = L"Kb";
    }
    wchar_t text[64];
    StringCchPrintfW(text, ARRAYSIZE(text), L"%.2f %s", value, unit);
    return text;
}

tip_request start_tip_request() {
    tip_request request;
    GetCursorPos(&request.start_cursor);
    request.full_content = is_full_search_on();
    request.start_ticks = request.clock();
    return request;
}

walk_result folder_size_walk(const std::wstring &folder, std::vector<folder_entry> *entries,
                             tip_request &request) {
    walk_result result = {0, false, false, false};
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        result.unlisted = true;
        return result;
    }
    std::wstring prefix = folder + L"\\";
    do {
        if (!request.full_content && request.clock() - request.start_ticks > time_budget_ms) {
            FindClose(search);
            return result;
        }
        if (pointer_moved_away(request)) {
            FindClose(search);
            return {result.size, true, false, false};
        }
        if (found.cFileName[0] == L'.')
            continue;
        uint64_t size = size_of(found.nFileSizeHigh, found.nFileSizeLow);
        // A junction or link may lead back up the tree: it counts as itself.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            walk_result inner = folder_size_walk(prefix + found.cFileName, nullptr, request);
            // A walk cut anywhere below makes every total above it a lower
            // bound, even when this folder's own listing ends right after. A
            // subfolder that cannot be listed (no access) just counts nothing.
            if (inner.aborted || (!inner.complete && !inner.unlisted)) {
                FindClose(search);
                return {result.size + inner.size, inner.aborted, false, false};
            }
            size = inner.size;
        }
        result.size += size;
        if (entries)
            entries->push_back({size, found.cFileName});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    result.complete = true;
    return result;
}

bool folder_summary_text(const std::wstring &folder, tip_request &request, std::wstring &text) {
    std::vector<folder_entry> entries;
    walk_result total = folder_size_walk(folder, &entries, request);
    if (total.aborted)
        return false;
    text.reserve(4096);
    if (!total.complete) {
        text = L"Total size more than " + format_size(total.size);
        return true;
    }
    text = L"Total size = " + format_size(total.size) + L"\n";
    if (!request.full_content) {
        text += L"If you want to see full content - \n check manage description - options";
        return true;
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const folder_entry &a, const folder_entry &b) { return a.size > b.size; });
    size_t width = 0;
    for (auto &entry : entries) {
        if (entry.name.size() > listed_name_chars)
            entry.name = entry.name.substr(0, listed_name_chars) + L"...";
        width = std::max(width, entry.name.size());
    }
    for (const auto &entry : entries) {
        text += entry.name;
        text.append(width + 1 - entry.name.size(), L'-');
        text += format_size(entry.size) + L"** ";
    }
    return true;
}

bool compose_generated_tip(const wchar_t *path, std::wstring &tip) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return file_details_tip(path, tip);

    tip_request request = start_tip_request();
    return folder_summary_text(path, request, tip);
}

wchar_t *make_info_tip(const wchar_t *path) {
    if (!path || !path[0])
        return nullptr;
    try {
        CInfoHolder::record_ptr record;
        if (info_holder.lookup(path, &record) == CInfoHolder::entry_state::described) {
            std::string text;
            // A failed read leaves the entry alone and the generated tip
            // stands in, unless a program dropped the stream of an item this
            // user described: then the description goes back on it.
            DWORD code = record->read_description(text);
            if ((code == ERROR_SUCCESS || (code == ERROR_FILE_NOT_FOUND &&
                                           info_holder.recover_description(path, false, &text) ==
                                               CInfoHolder::recovery::recovered)) &&
                !text.empty())
                return description_tip(text);
        }
        std::wstring tip;
        if (!compose_generated_tip(path, tip) || tip.empty())
            return nullptr;
        return to_co_task_string(tip);
    } catch (...) {
        return nullptr;
    }
}
