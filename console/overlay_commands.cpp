// quillarvent overlays: the overlay identifiers as Explorer takes them, and
// which of the six markers other programs' identifiers leave without a slot.

#include "console/overlay_commands.h"

#include <algorithm>
#include <cwchar>

#include "console/commands.h"
#include "console/console_io.h"
#include "module/win_handles.h"

namespace {

const wchar_t identifiers_key[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers";

// A REG_SZ default value; empty when there is none.
std::wstring default_value_of(HKEY root, const std::wstring &subkey) {
    DWORD size = 0;
    if (RegGetValueW(root, subkey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
        ERROR_SUCCESS)
        return L"";
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(root, subkey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, &value[0], &size) !=
        ERROR_SUCCESS)
        return L"";
    value.resize(wcslen(value.c_str()));
    return value;
}

std::wstring trimmed(const std::wstring &name) {
    size_t first = name.find_first_not_of(L' ');
    if (first == std::wstring::npos)
        return L"";
    return name.substr(first, name.find_last_not_of(L' ') - first + 1);
}

// The registry's own order: ordinal, case folded to upper case (so "_"
// sorts after the letters). Whatever order RegEnumKeyEx gives is not relied on.
int compared(const std::wstring &a, const std::wstring &b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE);
}

// A key name shown with its leading and trailing spaces.
std::string quoted_name(const std::wstring &name) {
    return "\"" + shown(name) + "\"";
}

// One field of a --tsv line: a tab or line end in a name cannot split it.
std::string field(const std::wstring &text) {
    std::string out;
    for (char c : shown(text)) {
        if (c == '\\' || c == '\t' || c == '\r' || c == '\n')
            out += c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : "\\n";
        else
            out += c;
    }
    return out;
}

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::wstring> &names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += i + 1 == names.size() ? " and " : ", ";
        text += shown(names[i]);
    }
    return text;
}

// What the setup tells the user at the end of an installation; empty when
// every registered marker has a slot.
std::string left_out_note(const overlay_slots &slots) {
    if (slots.left_out.empty())
        return "";
    bool one = slots.left_out.size() == 1;
    return std::string("Explorer will not show the marker") + (one ? " " : "s ") +
           listed(slots.left_out) + ": it shows only " + std::to_string(explorer_overlay_slots) +
           " overlays, and those of " + listed(slots.ahead) + " sort ahead of " +
           (one ? "it." : "them.");
}

} // namespace

DWORD read_overlay_slots(overlay_slots &slots) {
    slots = overlay_slots();
    ScopedRegKey key;
    DWORD error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, identifiers_key, 0, KEY_READ, key.receive());
    // No key: no identifier at all, ours included.
    if (error == ERROR_FILE_NOT_FOUND) {
        for (int kind = 0; kind < 6; ++kind)
            slots.unregistered.push_back(std::to_wstring(kind) + L"Quillarvent");
        return ERROR_SUCCESS;
    }
    if (error != ERROR_SUCCESS)
        return error;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256]; // the longest key name the registry allows, with its NUL
        DWORD length = 256;
        error = RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS)
            break;
        if (error != ERROR_SUCCESS)
            return error;
        overlay_identifier identifier;
        identifier.name.assign(name, length);
        std::wstring clsid = default_value_of(key.get(), identifier.name);
        if (!clsid.empty())
            identifier.product = default_value_of(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid);
        if (identifier.product.empty())
            identifier.product = trimmed(identifier.name);
        slots.identifiers.push_back(identifier);
    }
    std::vector<overlay_identifier> &all = slots.identifiers;
    std::stable_sort(all.begin(), all.end(),
                     [](const overlay_identifier &a, const overlay_identifier &b) {
                         return compared(a.name, b.name) == CSTR_LESS_THAN;
                     });
    for (int kind = 0; kind < 6; ++kind) {
        std::wstring ours = std::to_wstring(kind) + L"Quillarvent";
        auto found = std::find_if(all.begin(), all.end(), [&](const overlay_identifier &candidate) {
            return compared(candidate.name, ours) == CSTR_EQUAL;
        });
        if (found == all.end()) {
            slots.unregistered.push_back(ours);
            continue;
        }
        found->ours = true;
        if (static_cast<size_t>(found - all.begin()) >= explorer_overlay_slots)
            slots.left_out.push_back(found->name);
    }
    if (!slots.left_out.empty())
        for (size_t i = 0; i < explorer_overlay_slots; ++i)
            if (!all[i].ours && !std::count(slots.ahead.begin(), slots.ahead.end(), all[i].product))
                slots.ahead.push_back(all[i].product);
    return ERROR_SUCCESS;
}

int overlays_command(const command_line &line) {
    overlay_slots slots;
    if (DWORD error = read_overlay_slots(slots)) {
        say_error("HKLM\\" + shown(identifiers_key) + ": " + error_text(error));
        return exit_failed;
    }
    std::string note = left_out_note(slots);
    if (line.note) {
        if (!note.empty())
            say(note);
        return exit_done;
    }
    size_t width = 0;
    // A name of hundreds of characters would push every line that wide.
    for (const overlay_identifier &identifier : slots.identifiers)
        width = std::min<size_t>(std::max(width, identifier.name.size()), 40);
    std::string out;
    for (size_t i = 0; i < slots.identifiers.size(); ++i) {
        const overlay_identifier &identifier = slots.identifiers[i];
        std::string number = std::to_string(i + 1);
        bool used = i < explorer_overlay_slots;
        if (line.tsv)
            out += number + '\t' + (used ? "used" : "unused") + '\t' + field(identifier.name) +
                   '\t' + field(identifier.product) + "\r\n";
        else
            out += std::string(number.size() < 3 ? 3 - number.size() : 0, ' ') + number + "  " +
                   (used ? "used    " : "unused  ") + quoted_name(identifier.name) +
                   std::string(width + 2 - std::min(width, identifier.name.size()), ' ') +
                   shown(identifier.product) + "\r\n";
    }
    if (!line.tsv) {
        if (!note.empty())
            out += note + "\r\n";
        else if (slots.unregistered.empty())
            out += "All six Quillarvent markers are among the " +
                   std::to_string(explorer_overlay_slots) + " overlays Explorer shows.\r\n";
        if (!slots.unregistered.empty())
            out += "Not registered, so never shown: " + listed(slots.unregistered) + ".\r\n";
    }
    write_out(out);
    return exit_done;
}
