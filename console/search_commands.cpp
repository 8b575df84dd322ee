#include "console/commands.h"

#include <shlobj.h>

#include <algorithm>

#include "console/console_io.h"
#include "console/text_forms.h"
#include "store/description_search.h"
#include "store/keep_file.h"

namespace {

std::string first_line_of(const std::string &text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

} // namespace

int find_command(const command_line &line) {
    text_query query;
    if (!query.set(line.operands[0].c_str())) {
        say_error("\"" + shown(line.operands[0]) +
                  "\": a character the ANSI code page lacks, which no description holds");
        return exit_failed;
    }
    std::wstring folder;
    if (line.operands.size() > 1 && !folder_operand(line.operands[1], folder))
        return exit_failed;
    std::vector<found_item> found =
        find_described(query, folder, line.kind, line.deep, line.shares);
    std::sort(found.begin(), found.end(),
              [](const found_item &a, const found_item &b) { return path_less(a.path, b.path); });
    std::string out;
    for (const found_item &item : found) {
        std::string first = first_line_of(item.text);
        const char *tsv_state = !item.attached    ? "kept-item-replaced"
                                : item.text_known ? "ok"
                                                  : "path-only";
        std::string shown_state = !item.attached ? "(description kept, item replaced)"
                                  : item.text_known
                                      ? shown_ansi(first)
                                      : "(the path matched; --deep reads the description)";
        if (line.tsv)
            out += std::to_string(item.icon_kind) + '\t' + shown(item.path) + '\t' +
                   escaped_utf8_of_ansi(first) + '\t' + tsv_state + "\r\n";
        else
            out += std::to_string(item.icon_kind) + "  " + shown(item.path) + "  " +
                   (item.attached ? shown_state : shown_state + " " + shown_ansi(first)) + "\r\n";
    }
    write_out(out);
    if (DWORD problem = keep_file.problem())
        say_error(shown(keep_file.path()) + ": the keep file is unavailable (" +
                  error_text(problem) + "): only paths and --deep descriptions were searched");
    if (found.empty()) {
        say_error("nothing found");
        return exit_failed;
    }
    return exit_done;
}

int recover_command(const command_line &line) {
    std::wstring path;
    if (!item_operand(line.operands[0], path))
        return exit_failed;
    if (!item_exists(path)) {
        say_error(shown(path) + ": not found");
        return exit_failed;
    }
    if (read_icon_kind(path.c_str()) != -1) {
        say_error(shown(path) + ": carries a description: nothing to recover");
        return exit_failed;
    }
    std::string text;
    switch (info_holder.recover_description(path.c_str(), true, &text)) {
    case CInfoHolder::recovery::recovered:
        SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, path.c_str(), nullptr);
        say(shown(path) + ": description attached: " + shown_ansi(first_line_of(text)));
        return exit_done;
    case CInfoHolder::recovery::nothing_kept:
        say_error(shown(path) + ": no description of it is kept" +
                  (keep_file.problem()
                       ? " (the keep file is unavailable: " + error_text(keep_file.problem()) + ")"
                       : std::string()));
        return exit_failed;
    case CInfoHolder::recovery::item_replaced:
    case CInfoHolder::recovery::failed:
        break;
    }
    say_error(shown(path) + ": the description could not be written back");
    return exit_failed;
}
