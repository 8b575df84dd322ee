#include "store/path_text.h"

#include <windows.h>

#include <cwchar>

namespace {

// Where the ANSI code page is UTF-8 every character has its bytes, and the
// best-fit flag and the default-character report are not allowed; only
// unpaired surrogates fail there.
bool ansi_is_utf8() {
    return GetACP() == CP_UTF8;
}

int convert(const wchar_t *wide, int wide_length, char *out, int capacity, bool &exact) {
    if (ansi_is_utf8()) {
        exact = true;
        return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, wide_length, out, capacity,
                                   nullptr, nullptr);
    }
    BOOL used_default = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, wide_length, out, capacity,
                                nullptr, &used_default);
    exact = !used_default;
    return n;
}

} // namespace

bool ansi_path_of(const wchar_t *wide, std::string &ansi) {
    ansi.clear();
    if (!wide)
        return false;
    size_t length = wcslen(wide);
    if (length == 0)
        return true;
    if (length > 0x7fffffff / 4)
        return false;
    bool exact = false;
    int n = convert(wide, static_cast<int>(length), nullptr, 0, exact);
    if (n <= 0 || !exact)
        return false;
    ansi.resize(n);
    if (convert(wide, static_cast<int>(length), &ansi[0], n, exact) != n || !exact) {
        ansi.clear();
        return false;
    }
    return true;
}

bool wide_path_of(const std::string &ansi, std::wstring &wide) {
    wide.clear();
    if (ansi.empty())
        return true;
    if (ansi.size() > 0x7fffffff)
        return false;
    int length = static_cast<int>(ansi.size());
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, nullptr, 0);
    if (n <= 0)
        return false;
    wide.resize(n);
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, &wide[0], n) != n) {
        wide.clear();
        return false;
    }
    return true;
}

bool fits_code_page(const wchar_t *wide) {
    if (!wide)
        return false;
    for (const wchar_t *c = wide; *c; ++c)
        if (*c >= 0x80) {
            std::string ignored;
            return ansi_path_of(wide, ignored);
        }
    return true;
}

size_t whole_characters_within(const std::string &text, size_t limit, unsigned code_page) {
    if (text.size() <= limit)
        return text.size();
    if (code_page == CP_UTF8) {
        size_t end = limit;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        return end;
    }
    size_t at = 0;
    while (at < limit) {
        size_t width = IsDBCSLeadByteEx(code_page, static_cast<BYTE>(text[at])) ? 2 : 1;
        if (at + width > limit)
            break;
        at += width;
    }
    return at;
}

std::wstring file_name_of(const std::wstring &path) {
    size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

size_t next_backslash(const std::string &text, size_t start, unsigned code_page) {
    // In UTF-8 and single-byte code pages no byte of a character is a
    // backslash unless the character is one.
    if (code_page == CP_UTF8 || !IsDBCSLeadByteEx(code_page, 0x81))
        return text.find('\\', start);
    for (size_t at = 0; at < text.size(); ++at) {
        if (IsDBCSLeadByteEx(code_page, static_cast<BYTE>(text[at]))) {
            ++at;
            continue;
        }
        if (at >= start && text[at] == '\\')
            return at;
    }
    return std::string::npos;
}

size_t last_backslash(const std::string &text, unsigned code_page) {
    size_t last = std::string::npos;
    for (size_t at = next_backslash(text, 0, code_page); at != std::string::npos;
         at = next_backslash(text, at + 1, code_page))
        last = at;
    return last;
}

// Only a full path in its plain spelling: a drive or share path that the
// system's own resolution leaves as it is (nothing relative, no "." or "..",
// no "/", no trailing dot or space), with no trailing backslash but on a
// drive root, and no stream name, wildcard, device or "\\?\" form. Another
// spelling would name a file relative to whichever folder is current, or a
// stream, or give an item a second record. (Case and short names still can:
// the key is of the path as the shell spells it.)
bool is_canonical_full_path(const wchar_t *path) {
    size_t length = wcslen(path);
    bool drive = length >= 3 &&
                 ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
                 path[1] == L':' && path[2] == L'\\';
    bool share = length >= 5 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\' &&
                 path[2] != L'?' && path[2] != L'.';
    if ((!drive && !share) || (length > 3 && path[length - 1] == L'\\') || length > 32767)
        return false;
    // A second colon names a stream of the item, not the item.
    if (wcspbrk(path + 2, L":*?\"<>|"))
        return false;
    // The shares that stand for pipes and mailslots are no folders: opening
    // one connects to whoever serves it.
    if (share) {
        const wchar_t *name = wcschr(path + 2, L'\\');
        if (name) {
            ++name;
            const wchar_t *end = wcschr(name, L'\\');
            size_t name_length = end ? static_cast<size_t>(end - name) : wcslen(name);
            for (const wchar_t *device : {L"pipe", L"mailslot", L"IPC$"})
                if (name_length == wcslen(device) && _wcsnicmp(name, device, name_length) == 0)
                    return false;
        }
    }
    std::wstring full(length + 1, L'\0');
    DWORD resolved = GetFullPathNameW(path, static_cast<DWORD>(full.size()), &full[0], nullptr);
    return resolved == length && wcscmp(full.c_str(), path) == 0;
}

// ASCII is the same in every ANSI code page: only paths with other
// characters need a conversion.
bool same_path(const char *ansi, const wchar_t *wide) {
    size_t i = 0;
    for (; wide[i]; ++i) {
        if (wide[i] >= 0x80) {
            std::string converted;
            return ansi_path_of(wide, converted) && converted == ansi;
        }
        if (static_cast<unsigned char>(ansi[i]) != wide[i])
            return false;
    }
    return !ansi[i];
}
