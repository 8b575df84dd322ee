#include "console/command_support.h"

#include <algorithm>
#include <cstdint>

#include "console/console_io.h"
#include "console/text_forms.h"
#include "module/win_handles.h"
#include "store/path_text.h"

namespace {

// The indexed form of a path is under MAX_PATH bytes.
const size_t max_item_path_bytes = 259;

bool full_path_of(const std::wstring &argument, std::wstring &full) {
    DWORD needed = GetFullPathNameW(argument.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return false;
    full.assign(needed, L'\0');
    DWORD length = GetFullPathNameW(argument.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed)
        return false;
    full.resize(length);
    return true;
}

size_t root_length(const std::wstring &path) {
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
        return 3;
    if (path.compare(0, 2, L"\\\\") != 0)
        return 0;
    size_t server_end = path.find(L'\\', 2);
    if (server_end == std::wstring::npos)
        return 0;
    size_t share_end = path.find(L'\\', server_end + 1);
    return share_end == std::wstring::npos ? path.size() : share_end + 1;
}

// Each existing component as the file system spells it; the rest of the
// path as given.
std::wstring real_spelling(const std::wstring &full) {
    if (full.find_first_of(L"*?<>\"|") != std::wstring::npos)
        return full;
    size_t start = root_length(full);
    std::wstring result = full.substr(0, start);
    if (start == 3 && result[0] >= L'a' && result[0] <= L'z')
        result[0] = static_cast<wchar_t>(result[0] - L'a' + L'A');
    while (start < full.size()) {
        size_t end = full.find(L'\\', start);
        if (end == std::wstring::npos)
            end = full.size();
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((result + full.substr(start, end - start)).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return result + full.substr(start);
        FindClose(search);
        result += found.cFileName;
        if (end < full.size())
            result += L'\\';
        start = end + 1;
    }
    return result;
}

} // namespace

std::wstring shell_spelling_of(const std::wstring &path) {
    return real_spelling(path);
}

std::wstring path_speller::spell(const std::wstring &path) {
    std::wstring parent = parent_of(path);
    size_t name_start = parent.size() + (parent.empty() || parent.back() == L'\\' ? 0 : 1);
    if (parent.empty() || name_start >= path.size() ||
        path.find_first_of(L"*?<>\"|") != std::wstring::npos)
        return shell_spelling_of(path);
    std::wstring name = path.substr(name_start);
    auto found = folders_.find(path_key(parent));
    if (found == folders_.end()) {
        folder_names listed;
        listed.spelled = shell_spelling_of(parent);
        std::wstring prefix =
            listed.spelled.back() == L'\\' ? listed.spelled : listed.spelled + L'\\';
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW((prefix + L"*").c_str(), &data);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                listed.names.emplace(path_key(data.cFileName), data.cFileName);
                if (data.cAlternateFileName[0])
                    listed.names.emplace(path_key(data.cAlternateFileName), data.cFileName);
            } while (FindNextFileW(search, &data));
            FindClose(search);
        }
        found = folders_.emplace(path_key(parent), std::move(listed)).first;
    }
    const folder_names &folder = found->second;
    auto real = folder.names.find(path_key(name));
    std::wstring prefix = folder.spelled.back() == L'\\' ? folder.spelled : folder.spelled + L'\\';
    return prefix + (real == folder.names.end() ? name : real->second);
}

void command_result::fail(const std::string &utf8_message) {
    say_error(utf8_message);
    status_ = exit_failed;
}

void say(const std::string &utf8_line) {
    write_out(utf8_line + "\r\n");
}

void say_error(const std::string &utf8_message) {
    write_error("quillarvent: " + utf8_message + "\r\n");
}

std::string one_line(const char *ansi_text) {
    std::string line;
    for (const char *c = ansi_text; *c; ++c) {
        char next = *c == '\n' || *c == '\t' || *c == '\r' ? ' ' : *c;
        if (next == ' ' && (line.empty() || line.back() == ' '))
            continue;
        line += next;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return shown_utf8_of_ansi(line);
}

std::string shown(const std::wstring &path) {
    std::string utf8;
    if (!utf8_of_wide(path, utf8)) {
        // An unpaired surrogate in a name: shown, not kept.
        std::wstring printable = path;
        for (wchar_t &c : printable)
            if (c >= 0xD800 && c <= 0xDFFF)
                c = 0xFFFD;
        utf8_of_wide(printable, utf8);
    }
    return utf8;
}

std::string shown_ansi(const std::string &path) {
    return shown_utf8_of_ansi(path);
}

bool item_path_of(const std::wstring &argument, std::wstring &path, std::string &problem) {
    // "<", ">" and '"' are wildcards to the file system's search too.
    if (argument.empty() || argument.find_first_of(L"*?<>\"|") != std::wstring::npos) {
        problem = "not the name of one item";
        return false;
    }
    std::wstring full;
    if (!full_path_of(argument, full)) {
        problem = "not a valid path";
        return false;
    }
    if (full.size() > root_length(full) && full.back() == L'\\')
        full.pop_back();
    path = real_spelling(full);
    std::string ansi;
    if (!ansi_path_of(path.c_str(), ansi)) {
        problem = "the path has a character the ANSI code page lacks";
        return false;
    }
    if (!is_canonical_full_path(path.c_str())) {
        problem = "not a plain full path";
        return false;
    }
    if (ansi.size() > max_item_path_bytes) {
        problem = "the path is too long for the index";
        return false;
    }
    return true;
}

bool folder_path_of(const std::wstring &argument, std::wstring &folder, std::string &problem) {
    if (!item_path_of(argument, folder, problem))
        return false;
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        problem = "no such folder";
        return false;
    }
    return true;
}

bool item_operand(const std::wstring &argument, std::wstring &path) {
    std::string problem;
    if (item_path_of(argument, path, problem))
        return true;
    say_error(shown(argument) + ": " + problem);
    return false;
}

bool folder_operand(const std::wstring &argument, std::wstring &folder) {
    std::string problem;
    if (folder_path_of(argument, folder, problem))
        return true;
    say_error(shown(argument) + ": " + problem);
    return false;
}

void walk_folder(const std::wstring &folder,
                 const std::function<void(const std::wstring &, bool)> &found) {
    found(folder, true);
    std::vector<std::wstring> pending{folder};
    while (!pending.empty()) {
        std::wstring current = pending.back();
        pending.pop_back();
        std::wstring prefix = current.back() == L'\\' ? current : current + L'\\';
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW((prefix + L"*").c_str(), &data);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L".." || name.find(L':') != std::wstring::npos)
                continue;
            std::wstring path = prefix + name;
            bool is_folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            found(path, is_folder);
            if (is_folder && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                pending.push_back(path);
        } while (FindNextFileW(search, &data));
        FindClose(search);
    }
}

bool is_under(const std::wstring &folder, const std::wstring &path) {
    std::wstring prefix = folder;
    if (prefix.empty() || prefix.back() != L'\\')
        prefix += L'\\';
    return path.size() > prefix.size() &&
           CompareStringOrdinal(path.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

std::wstring parent_of(const std::wstring &path) {
    size_t last = path.find_last_of(L'\\');
    if (last == std::wstring::npos)
        return std::wstring();
    return last + 1 == root_length(path) ? path.substr(0, last + 1) : path.substr(0, last);
}

bool item_exists(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring path_key(const std::wstring &path) {
    std::wstring key = path;
    if (!key.empty())
        CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
    return key;
}

bool path_less(const std::wstring &a, const std::wstring &b) {
    int order = CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                     static_cast<int>(b.size()), TRUE);
    return order == CSTR_LESS_THAN || (order == CSTR_EQUAL && a < b);
}

std::vector<indexed_item> indexed_items(const std::wstring &folder, bool shares,
                                        command_result &result,
                                        std::vector<checked_record> *refused) {
    std::vector<indexed_item> items;
    for (checked_record &entry : checked_records(info_holder, shares)) {
        if (entry.use == record_use::not_full_path || entry.use == record_use::no_wide_form) {
            if (refused)
                refused->push_back(std::move(entry));
            else
                result.fail("files.dat holds \"" + shown_ansi(entry.record->path) +
                            "\": " + record_use_text(entry.use));
            continue;
        }
        if (!folder.empty() && !is_under(folder, entry.path))
            continue;
        indexed_item item;
        item.path = std::move(entry.path);
        item.record = std::move(entry.record);
        item.unopened_share = entry.use == record_use::on_share;
        item.key_matches = entry.key_matches;
        items.push_back(std::move(item));
    }
    std::sort(items.begin(), items.end(), [](const indexed_item &a, const indexed_item &b) {
        return path_less(a.path, b.path);
    });
    return items;
}

bool read_file_bytes(const std::wstring &path, std::string &bytes, DWORD &error, size_t limit) {
    bytes.clear();
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr));
    if (!file.valid()) {
        error = GetLastError();
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) > limit) {
        error = ERROR_FILE_TOO_LARGE;
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 24));
        if (!ReadFile(file.get(), &bytes[done], chunk, &read, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (read == 0)
            break;
        done += read;
    }
    bytes.resize(done);
    return true;
}

bool replace_file_bytes(const std::wstring &path, const std::string &bytes, DWORD attributes,
                        DWORD &error) {
    std::wstring folder = parent_of(path);
    wchar_t temporary[MAX_PATH + 16];
    if (folder.empty() || folder.size() >= MAX_PATH - 14 ||
        !GetTempFileNameW(folder.c_str(), L"qvt", 0, temporary)) {
        error = folder.empty() ? ERROR_BAD_PATHNAME : GetLastError();
        if (error == ERROR_SUCCESS)
            error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    bool written = false;
    {
        ScopedFile file(CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        error = file.valid() ? ERROR_SUCCESS : GetLastError();
        size_t done = 0;
        while (file.valid() && done < bytes.size()) {
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 24));
            DWORD put = 0;
            if (!WriteFile(file.get(), bytes.data() + done, chunk, &put, nullptr) || put == 0) {
                error = GetLastError();
                break;
            }
            done += put;
        }
        written = file.valid() && done == bytes.size() && FlushFileBuffers(file.get());
        if (file.valid() && done == bytes.size() && !written)
            error = GetLastError();
    }
    bool existed = item_exists(path);
    if (written && existed &&
        ReplaceFileW(path.c_str(), temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                     nullptr))
        return true;
    if (written && !existed &&
        MoveFileExW(temporary, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (attributes != FILE_ATTRIBUTE_NORMAL)
            SetFileAttributesW(path.c_str(), attributes);
        return true;
    }
    if (written)
        error = GetLastError();
    DeleteFileW(temporary);
    if (error == ERROR_SUCCESS)
        error = ERROR_WRITE_FAULT;
    return false;
}

std::string error_text(DWORD error) {
    wchar_t *text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring message = length ? std::wstring(text, length) : std::wstring();
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.'))
        message.pop_back();
    std::string utf8 = shown(message);
    return (utf8.empty() ? std::string("error") : utf8) + " (" + std::to_string(error) + ")";
}

std::string with_crlf(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\r' || text[at] == '\n') {
            if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n')
                ++at;
            out += "\r\n";
        } else {
            out += text[at];
        }
    }
    return out;
}
