#include "console/commands.h"

#include <shlobj.h>

#include "console/console_io.h"
#include "console/text_forms.h"
#include "store/description_edit.h"
#include "store/item_info.h"
#include "store/path_text.h"

namespace {

std::string first_line_of(const std::string &text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

void tell_shell(const std::wstring &path) {
    SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, path.c_str(), nullptr);
}

bool is_not_found(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

} // namespace

int list_command(const command_line &line) {
    std::wstring folder;
    if (!line.operands.empty() && !item_operand(line.operands[0], folder))
        return exit_failed;
    std::vector<indexed_item> items = indexed_items(folder);
    if (!folder.empty() && items.empty() && !item_exists(folder)) {
        say_error(shown(folder) + ": not found");
        return exit_failed;
    }
    std::string out;
    for (const indexed_item &item : items) {
        std::string text;
        int32_t kind = item.record->icon_kind;
        DWORD code = item.record->read_stream(text, &kind);
        std::string first = first_line_of(text);
        if (line.tsv)
            out += std::to_string(kind) + '\t' + shown(item.path) + '\t' +
                   escaped_utf8_of_ansi(first) + "\r\n";
        else
            out += std::to_string(kind) + "  " + shown(item.path) + "  " +
                   (code == ERROR_SUCCESS ? shown_ansi(first)
                                          : std::string("(no description stream: see check)")) +
                   "\r\n";
    }
    write_out(out);
    return exit_done;
}

int show_command(const command_line &line) {
    std::wstring path;
    if (!item_operand(line.operands[0], path))
        return exit_failed;
    item_info item(0, path.c_str());
    std::string text;
    int32_t kind = -1;
    DWORD code = item.read_description(text, &kind);
    if (code != ERROR_SUCCESS || kind == -1) {
        say_error(shown(path) + ": " +
                  (!item_exists(path)                            ? std::string("not found")
                   : is_not_found(code) || code == ERROR_SUCCESS ? std::string("no description")
                                                                 : error_text(code)));
        return exit_failed;
    }
    if (line.tsv)
        say(std::to_string(kind) + '\t' + shown(path) + '\t' + escaped_utf8_of_ansi(text));
    else
        say("Kind: " + std::to_string(kind) + "\r\n" + shown_ansi(with_crlf(text)));
    return exit_done;
}

int set_command(const command_line &line) {
    std::wstring path;
    if (!item_operand(line.operands[0], path))
        return exit_failed;
    // Writing the stream of a missing item would create an empty file.
    if (!item_exists(path)) {
        say_error(shown(path) + ": not found");
        return exit_failed;
    }
    std::string text, problem;
    if (line.operands[1] == L"-") {
        if (!read_input_text(text, problem)) {
            say_error(problem);
            return exit_failed;
        }
        // What echo and most editors put after the last line is not part of
        // the description.
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
    } else if (!ansi_of_wide(line.operands[1], text)) {
        say_error(shown(path) + ": the text holds a character the ANSI code page lacks");
        return exit_failed;
    }
    text = with_crlf(text);

    int kind = line.kind;
    if (kind < 0) {
        // As the editor shows it: the item's own marker, else the first.
        int32_t carried = read_icon_kind(path.c_str());
        kind = carried >= 0 && carried <= 5 ? carried : 0;
    }
    command_result result;
    if (cut_to_stored_length(text))
        result.fail(shown(path) + ": " + one_line(truncation_warning));
    DWORD code = info_holder.add_description(path.c_str(), kind, text.c_str());
    if (const char *error = save_error_text(code))
        result.fail(shown(path) + ": " +
                    (is_not_found(code) ? std::string("not found") : one_line(error)));
    if (code == ERROR_SUCCESS || code == 1)
        tell_shell(path);
    // 1: stored, but files.dat could not be written; the store said why.
    return code == 1 ? exit_failed : result.status();
}

int remove_command(const command_line &line) {
    std::wstring path;
    if (!item_operand(line.operands[0], path))
        return exit_failed;
    // A stream the index has not seen has no record to drop.
    DWORD code;
    if (info_holder.lookup(path.c_str()) == CInfoHolder::entry_state::described) {
        code = info_holder.remove_description(path.c_str());
    } else if (read_icon_kind(path.c_str()) != -1) {
        code = item_info(0, path.c_str()).delete_description();
    } else {
        say_error(shown(path) + ": " + (item_exists(path) ? "no description" : "not found"));
        return exit_failed;
    }
    if (code != ERROR_SUCCESS) {
        say_error(shown(path) + ": " + one_line(remove_error_text(code)));
        return exit_failed;
    }
    tell_shell(path);
    return exit_done;
}

int check_command(const command_line &line) {
    std::wstring folder;
    if (!line.operands.empty() && !folder_operand(line.operands[0], folder))
        return exit_failed;
    command_result result;
    size_t unfixed = 0;
    auto report = [&](const char *what, const char *tsv_what, const std::wstring &path,
                      bool fixed) {
        if (line.tsv)
            write_out(std::string(tsv_what) + '\t' + shown(path) + "\r\n");
        else
            write_out(std::string(what) + ": " + shown(path) + "\r\n");
        if (!fixed)
            ++unfixed;
    };

    for (const indexed_item &item : indexed_items(folder)) {
        std::string text;
        DWORD code = item.record->read_stream(text);
        if (code == ERROR_SUCCESS)
            continue;
        if (!is_not_found(code)) {
            result.fail(shown(item.path) + ": " + error_text(code));
            continue;
        }
        bool item_gone = !item_exists(item.path);
        bool fixed = false;
        if (line.fix) {
            // The store drops a record only when the item or its stream is
            // gone for good, never one on a volume that is not there.
            info_holder.get_description(item.path.c_str(), text);
            fixed = info_holder.lookup(item.path.c_str()) != CInfoHolder::entry_state::described;
        }
        if (fixed)
            report(item_gone ? "item gone, dropped from the index"
                             : "stream gone, dropped from the index",
                   item_gone ? "item-gone-dropped" : "stream-gone-dropped", item.path, true);
        else
            report(item_gone ? "item gone" : "stream gone", item_gone ? "item-gone" : "stream-gone",
                   item.path, false);
    }

    if (!folder.empty()) {
        std::vector<std::wstring> unindexed;
        walk_folder(folder, [&](const std::wstring &path, bool) {
            if (info_holder.lookup(path.c_str()) != CInfoHolder::entry_state::described &&
                read_icon_kind(path.c_str()) != -1)
                unindexed.push_back(path);
        });
        for (const std::wstring &path : unindexed) {
            int32_t kind = read_icon_kind(path.c_str());
            bool fixed = false;
            if (line.fix && kind >= 0 && kind <= 5)
                fixed = info_holder.enter_described(path.c_str(), kind) <= 1 &&
                        info_holder.lookup(path.c_str()) == CInfoHolder::entry_state::described;
            if (line.fix && !fixed && fits_code_page(path.c_str()) && (kind < 0 || kind > 5))
                result.fail(shown(path) + ": the stream holds kind " + std::to_string(kind) +
                            ", outside 0-5");
            report(fixed ? "not indexed, now indexed" : "not indexed",
                   fixed ? "not-indexed-indexed" : "not-indexed", path, fixed);
        }
    }
    if (unfixed)
        result.fail(std::to_string(unfixed) + (unfixed == 1 ? " problem" : " problems") +
                    (line.fix ? " left" : " found"));
    return result.status();
}
