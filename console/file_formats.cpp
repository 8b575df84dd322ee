#include "console/file_formats.h"

#include <windows.h>

#include "console/text_forms.h"
#include "store/path_text.h"

const char backup_header[] = "# Quillarvent descriptions 1";

namespace {

const char multi_line_end[] = "\x04\xC2";

bool is_name_character(wchar_t c) {
    return c >= 0x20 && !wcschr(L"\\/:*?\"<>|", c);
}

} // namespace

bool backup_line_of(const backup_entry &entry, std::string &line) {
    std::wstring wide;
    std::string path;
    if (!wide_path_of(entry.path, wide) || !utf8_of_wide(wide, path))
        return false;
    line = std::to_string(entry.kind) + '\t' + path + '\t' + escaped_utf8_of_ansi(entry.text);
    return true;
}

bool parse_backup_line(const std::string &line, backup_entry &entry, std::string &problem) {
    size_t first = line.find('\t');
    size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos || line.find('\t', second + 1) != std::string::npos) {
        problem = "not KIND<tab>PATH<tab>TEXT";
        return false;
    }
    std::string kind = line.substr(0, first);
    if (kind.size() != 1 || kind[0] < '0' || kind[0] > '5') {
        problem = "kind \"" + kind + "\" outside 0-5";
        return false;
    }
    entry.kind = kind[0] - '0';
    if (!ansi_of_utf8(line.substr(first + 1, second - first - 1), entry.path) ||
        entry.path.empty()) {
        problem = "the path is not UTF-8 or has a character the ANSI code page lacks";
        return false;
    }
    std::string text_problem;
    if (!ansi_of_escaped_utf8(line.substr(second + 1), entry.text, text_problem)) {
        problem = "the description has " + text_problem;
        return false;
    }
    return true;
}

bool descript_ion_line_of(const descript_ion_entry &entry, bool utf8, std::string &line,
                          std::string &problem) {
    std::string text;
    bool multi_line = false, literal_break = false;
    for (size_t at = 0; at < entry.text.size(); ++at) {
        char c = entry.text[at];
        if (IsDBCSLeadByte(static_cast<BYTE>(c)) && at + 1 < entry.text.size()) {
            text += entry.text.substr(at, 2);
            ++at;
        } else if (c == '\r' || c == '\n') {
            if (c == '\r' && at + 1 < entry.text.size() && entry.text[at + 1] == '\n')
                ++at;
            text += "\\n";
            multi_line = true;
        } else {
            literal_break = literal_break ||
                            (c == '\\' && at + 1 < entry.text.size() && entry.text[at + 1] == 'n');
            text += c;
        }
    }
    // Read back, that "\n" would become a line break.
    if (multi_line && literal_break) {
        problem = "a description of several lines that holds \"\\n\" cannot be told apart "
                  "from its line breaks in descript.ion";
        return false;
    }
    std::string name =
        entry.name.find(' ') != std::string::npos ? '"' + entry.name + '"' : entry.name;
    line = name + ' ' + text;
    if (utf8) {
        std::wstring wide;
        if (!wide_path_of(line, wide) || !utf8_of_wide(wide, line)) {
            problem = "has no UTF-8 form for this UTF-8 file";
            return false;
        }
    }
    if (multi_line)
        line += multi_line_end;
    return true;
}

bool parse_descript_ion_line(const std::string &raw, bool utf8, descript_ion_entry &entry,
                             std::string &problem) {
    std::string line = raw;
    bool multi_line = line.size() >= 2 && line.compare(line.size() - 2, 2, multi_line_end) == 0;
    if (multi_line)
        line.resize(line.size() - 2);
    std::string ansi;
    if (utf8 ? !ansi_of_utf8(line, ansi) : line.find('\0') != std::string::npos) {
        problem = "not UTF-8 or has a character the ANSI code page lacks";
        return false;
    }
    if (!utf8)
        ansi = line;
    size_t text_start;
    if (!ansi.empty() && ansi[0] == '"') {
        size_t close = ansi.find('"', 1);
        if (close == std::string::npos) {
            problem = "a quoted name without its closing quote";
            return false;
        }
        entry.name = ansi.substr(1, close - 1);
        text_start = close + 1;
        if (text_start < ansi.size() && ansi[text_start] != ' ' && ansi[text_start] != '\t') {
            problem = "no space after the quoted name";
            return false;
        }
    } else {
        text_start = ansi.find_first_of(" \t");
        if (text_start == std::string::npos)
            text_start = ansi.size();
        entry.name = ansi.substr(0, text_start);
    }
    std::wstring name;
    bool plain_name =
        wide_path_of(entry.name, name) && !name.empty() && name != L"." && name != L"..";
    for (wchar_t c : name)
        plain_name = plain_name && is_name_character(c);
    if (!plain_name) {
        problem = "\"" + entry.name + "\" is not the name of an item in the folder";
        return false;
    }
    std::string text = text_start < ansi.size() ? ansi.substr(text_start + 1) : std::string();
    entry.text.clear();
    if (!multi_line) {
        entry.text = text;
        return true;
    }
    // In a double-byte code page a backslash may be the second byte of a
    // character: only one of its own starts a line break.
    for (size_t at = 0; at < text.size(); ++at) {
        if (IsDBCSLeadByte(static_cast<BYTE>(text[at])) && at + 1 < text.size()) {
            entry.text += text.substr(at, 2);
            ++at;
        } else if (text[at] == '\\' && at + 1 < text.size() && text[at + 1] == 'n') {
            entry.text += "\r\n";
            ++at;
        } else {
            entry.text += text[at];
        }
    }
    return true;
}

const char *descript_ion_refusal(const std::string &bytes, bool for_writing) {
    if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0)
        return "is UTF-16";
    if (bytes.find('\0') != std::string::npos)
        return "holds zero bytes";
    size_t end_mark = bytes.find('\x1A');
    if (for_writing && end_mark != std::string::npos && end_mark + 1 < bytes.size())
        return "holds text after a DOS end-of-file mark";
    // A marked file is read line by line, each line checked on its own.
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 || GetACP() == CP_UTF8)
        return nullptr;
    // The end mark of a multi-line description is no UTF-8.
    std::string text;
    text.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size(); ++at) {
        if (bytes.compare(at, 2, multi_line_end) == 0 &&
            (at + 2 == bytes.size() || bytes[at + 2] == '\r' || bytes[at + 2] == '\n')) {
            ++at;
            continue;
        }
        text += bytes[at];
    }
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    std::wstring wide;
    if (!ascii && wide_of_utf8(text, wide))
        return "is UTF-8 without a byte-order mark, not the ANSI code page";
    if (!text.empty() && text.size() < 0x7fffffff &&
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                            static_cast<int>(text.size()), nullptr, 0) == 0)
        return "holds bytes the ANSI code page does not define";
    return nullptr;
}

std::vector<std::string> split_lines(const std::string &bytes, bool &utf8) {
    utf8 = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
    std::vector<std::string> lines;
    size_t start = utf8 ? 3 : 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        size_t next = end == std::string::npos ? bytes.size() : end + 1;
        if (end == std::string::npos)
            end = bytes.size();
        if (end > start && bytes[end - 1] == '\r')
            --end;
        lines.push_back(bytes.substr(start, end - start));
        start = next;
    }
    return lines;
}
