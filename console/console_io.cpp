#include "console/console_io.h"

#include <windows.h>

#include <algorithm>

#include "console/text_forms.h"

namespace {

bool is_console(HANDLE handle) {
    DWORD mode;
    return GetConsoleMode(handle, &mode) != 0;
}

bool output_lost = false;

bool write_to(DWORD which, const std::string &utf8) {
    if (utf8.empty())
        return true;
    HANDLE handle = GetStdHandle(which);
    if (handle == INVALID_HANDLE_VALUE || !handle)
        return false;
    std::wstring wide;
    if (is_console(handle) && wide_of_utf8(utf8, wide)) {
        DWORD written = 0;
        return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written,
                             nullptr) &&
               written == wide.size();
    }
    for (size_t done = 0; done < utf8.size();) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(utf8.size() - done, 1 << 20));
        if (!WriteFile(handle, utf8.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

} // namespace

bool write_out(const std::string &utf8) {
    if (write_to(STD_OUTPUT_HANDLE, utf8))
        return true;
    output_lost = true;
    return false;
}

bool output_was_lost() {
    return output_lost;
}

bool read_input_bytes(std::string &bytes, size_t limit) {
    bytes.clear();
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == INVALID_HANDLE_VALUE || !input)
        return false;
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(input, buffer, sizeof(buffer), &read, nullptr))
            return GetLastError() == ERROR_BROKEN_PIPE;
        if (read == 0)
            return true;
        if (bytes.size() + read > limit)
            return false;
        bytes.append(buffer, read);
    }
}

void write_error(const std::string &utf8) {
    write_to(STD_ERROR_HANDLE, utf8);
}

bool read_input_text(std::string &ansi, std::string &problem) {
    ansi.clear();
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == INVALID_HANDLE_VALUE || !input) {
        problem = "no standard input";
        return false;
    }
    if (is_console(input)) {
        std::wstring typed;
        wchar_t buffer[4096];
        DWORD read = 0;
        while (ReadConsoleW(input, buffer, ARRAYSIZE(buffer), &read, nullptr) && read > 0) {
            typed.append(buffer, read);
            size_t end = typed.find(L'\x1A');
            if (end != std::wstring::npos) {
                typed.resize(end);
                break;
            }
        }
        if (!ansi_of_wide(typed, ansi)) {
            problem = "the text holds a character the ANSI code page lacks";
            return false;
        }
        return true;
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    for (;;) {
        if (!ReadFile(input, buffer, sizeof(buffer), &read, nullptr)) {
            if (GetLastError() == ERROR_BROKEN_PIPE)
                break;
            problem = "standard input cannot be read";
            return false;
        }
        if (read == 0)
            break;
        bytes.append(buffer, read);
        // Far more than a description holds: the rest would only be cut.
        if (bytes.size() > (16u << 20)) {
            problem = "standard input is too long";
            return false;
        }
    }
    bool marked = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (marked)
        bytes.erase(0, 3);
    std::wstring wide;
    if (marked || wide_of_utf8(bytes, wide)) {
        if (!wide_of_utf8(bytes, wide)) {
            problem = "standard input is marked UTF-8 but is not";
            return false;
        }
        if (wide.find(L'\0') != std::wstring::npos) {
            problem = "standard input holds a zero character";
            return false;
        }
        if (!ansi_of_wide(wide, ansi)) {
            problem = "the text holds a character the ANSI code page lacks";
            return false;
        }
        return true;
    }
    if (bytes.find('\0') != std::string::npos) {
        problem = "standard input holds a zero byte";
        return false;
    }
    ansi = bytes;
    return true;
}
