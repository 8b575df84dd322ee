#include "console/text_forms.h"

#include <windows.h>

#include "store/path_text.h"

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The length of the character that starts at `at` in the system code page.
size_t ansi_character_length(const std::string &ansi, size_t at) {
    unsigned char lead = static_cast<unsigned char>(ansi[at]);
    size_t length = 1;
    if (GetACP() == CP_UTF8)
        length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    else if (IsDBCSLeadByte(lead))
        length = 2;
    return at + length <= ansi.size() ? length : ansi.size() - at;
}

void append_escaped(std::string &out, const std::string &utf8) {
    for (char c : utf8) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += c;
        }
    }
}

void append_byte_escape(std::string &out, unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 15];
}

} // namespace

bool utf8_of_wide(const std::wstring &wide, std::string &utf8) {
    utf8.clear();
    if (wide.empty())
        return true;
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(),
                                static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return false;
    utf8.resize(n);
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(),
                               static_cast<int>(wide.size()), &utf8[0], n, nullptr, nullptr) == n;
}

bool wide_of_utf8(const std::string &utf8, std::wstring &wide) {
    wide.clear();
    if (utf8.empty())
        return true;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0)
        return false;
    wide.resize(n);
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                               static_cast<int>(utf8.size()), &wide[0], n) == n;
}

bool ansi_of_wide(const std::wstring &wide, std::string &ansi) {
    return wide.find(L'\0') == std::wstring::npos && ansi_path_of(wide.c_str(), ansi);
}

bool ansi_of_utf8(const std::string &utf8, std::string &ansi) {
    std::wstring wide;
    return wide_of_utf8(utf8, wide) && ansi_of_wide(wide, ansi);
}

std::string shown_utf8_of_ansi(const std::string &ansi) {
    std::wstring wide;
    if (!wide_path_of(ansi, wide)) {
        int n =
            MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
        wide.assign(n > 0 ? n : 0, L'\0');
        if (n > 0)
            MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], n);
    }
    std::string utf8;
    utf8_of_wide(wide, utf8);
    return utf8;
}

std::string escaped_utf8_of_ansi(const std::string &ansi) {
    std::string out;
    std::wstring wide;
    std::string utf8;
    if (wide_path_of(ansi, wide) && utf8_of_wide(wide, utf8)) {
        append_escaped(out, utf8);
        return out;
    }
    // Rare: a text with bytes the code page does not define goes character
    // by character, and only those bytes are escaped.
    for (size_t at = 0; at < ansi.size();) {
        size_t length = ansi_character_length(ansi, at);
        std::string character = ansi.substr(at, length);
        if (wide_path_of(character, wide) && utf8_of_wide(wide, utf8))
            append_escaped(out, utf8);
        else
            for (char byte : character)
                append_byte_escape(out, static_cast<unsigned char>(byte));
        at += length;
    }
    return out;
}

bool ansi_of_escaped_utf8(const std::string &field, std::string &ansi, std::string &problem) {
    ansi.clear();
    std::string run;
    auto flush = [&]() {
        std::string converted;
        std::wstring wide;
        if (!wide_of_utf8(run, wide)) {
            problem = "not UTF-8";
            return false;
        }
        if (!ansi_of_wide(wide, converted)) {
            problem = "a character the ANSI code page lacks";
            return false;
        }
        ansi += converted;
        run.clear();
        return true;
    };
    for (size_t at = 0; at < field.size(); ++at) {
        if (field[at] != '\\') {
            run += field[at];
            continue;
        }
        if (!flush())
            return false;
        char escape = at + 1 < field.size() ? field[at + 1] : '\0';
        ++at;
        switch (escape) {
        case '\\':
            ansi += '\\';
            break;
        case 'n':
            ansi += '\n';
            break;
        case 'r':
            ansi += '\r';
            break;
        case 't':
            ansi += '\t';
            break;
        case 'x': {
            int high = at + 1 < field.size() ? hex_digit(field[at + 1]) : -1;
            int low = at + 2 < field.size() ? hex_digit(field[at + 2]) : -1;
            if (high < 0 || low < 0 || (high == 0 && low == 0)) {
                problem = "a bad \\x escape";
                return false;
            }
            ansi += static_cast<char>(high * 16 + low);
            at += 2;
            break;
        }
        default:
            problem = "a bad escape";
            return false;
        }
    }
    return flush();
}
