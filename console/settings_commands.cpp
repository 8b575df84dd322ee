#include "console/commands.h"

#include "console/console_io.h"
#include "module/settings.h"

namespace {

// The settings a user may change, by the names of their registry values.
const char *const setting_names[] = {full_search_value_name, probe_all_drives_value_name};

bool same_word(const std::wstring &typed, const char *word) {
    std::wstring wide(word, word + strlen(word));
    return CompareStringOrdinal(typed.c_str(), static_cast<int>(typed.size()), wide.c_str(),
                                static_cast<int>(wide.size()), TRUE) == CSTR_EQUAL;
}

const char *setting_named(const std::wstring &name) {
    for (const char *candidate : setting_names)
        if (same_word(name, candidate))
            return candidate;
    return nullptr;
}

std::string setting_line(const char *name, bool tsv) {
    return std::string(name) + (tsv ? "\t" : ": ") + (is_setting_on(name) ? "on" : "off") + "\r\n";
}

} // namespace

int settings_command(const command_line &line) {
    if (line.operands.empty()) {
        std::string out;
        for (const char *name : setting_names)
            out += setting_line(name, line.tsv);
        write_out(out);
        return exit_done;
    }
    const char *name = setting_named(line.operands[0]);
    if (!name) {
        std::string known;
        for (const char *candidate : setting_names)
            known += std::string(known.empty() ? "" : ", ") + candidate;
        say_error("settings: no setting is named \"" + shown(line.operands[0]) + "\" (" + known +
                  ")");
        return exit_usage;
    }
    if (line.operands.size() == 1) {
        write_out(setting_line(name, line.tsv));
        return exit_done;
    }
    const std::wstring &value = line.operands[1];
    if (!same_word(value, "on") && !same_word(value, "off")) {
        say_error("settings: \"" + shown(value) + "\" is neither on nor off");
        return exit_usage;
    }
    DWORD error = set_setting(name, same_word(value, "on"));
    if (error == ERROR_SUCCESS)
        return exit_done;
    std::string why = error == ERROR_ACCESS_DENIED
                          ? "access to HKLM\\software\\Quillarvent is denied"
                      : error == ERROR_FILE_NOT_FOUND
                          ? "HKLM\\software\\Quillarvent is missing (is Quillarvent installed?)"
                          : error_text(error);
    say_error(std::string(name) + " cannot be changed: " + why);
    return exit_failed;
}
