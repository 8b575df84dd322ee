#include "console/commands.h"

#include <shlobj.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "console/console_io.h"
#include "console/overlay_commands.h"
#include "console/text_forms.h"
#include "store/description_edit.h"
#include "store/description_search.h"
#include "store/info_tip_key.h"
#include "store/keep_file.h"
#include "store/item_info.h"
#include "store/path_text.h"
#include "store/property_handler_key.h"

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

// How an item's description stands, for list: a word for --tsv and the
// text shown in place of a description that cannot be read.
struct description_state {
    const char *tsv;
    std::string shown;
};

description_state state_of(const indexed_item &item, DWORD code) {
    if (item.unopened_share)
        return {"share-not-opened", "(on a share: not opened; --shares opens it)"};
    if (code == ERROR_SUCCESS)
        return {"ok", ""};
    if (is_not_found(code))
        return item_exists(item.path)
                   ? description_state{"stream-gone", "(no description stream: see check)"}
                   : description_state{"item-gone", "(the item is gone: see check)"};
    return {"unreadable", "(cannot be read: " + error_text(code) + ")"};
}

int list_command(const command_line &line) {
    std::wstring folder;
    if (!line.operands.empty() && !item_operand(line.operands[0], folder))
        return exit_failed;
    command_result result;
    std::vector<indexed_item> items = indexed_items(folder, line.shares, result);
    if (!folder.empty() && items.empty() && !item_exists(folder)) {
        say_error(shown(folder) + ": not found");
        return exit_failed;
    }
    std::string out;
    for (const indexed_item &item : items) {
        std::string text;
        int32_t kind = item.record->icon_kind;
        DWORD code = item.unopened_share ? ERROR_SUCCESS : item.record->read_stream(text, &kind);
        description_state state = state_of(item, code);
        std::string first = first_line_of(text);
        if (line.tsv)
            out += std::to_string(kind) + '\t' + shown(item.path) + '\t' +
                   escaped_utf8_of_ansi(first) + '\t' + state.tsv + "\r\n";
        else
            out += std::to_string(kind) + "  " + shown(item.path) + "  " +
                   (state.shown.empty() ? shown_ansi(first) : state.shown) + "\r\n";
    }
    write_out(out);
    return result.status();
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
        // What this user kept of it goes too.
        if (code == ERROR_SUCCESS)
            code = info_holder.remove_description(path.c_str());
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

namespace {

// A problem check found, and what --fix did about it; said once the fixes
// are read back from files.dat.
struct check_finding {
    std::string what, tsv_what; // as found
    std::string fixed_what, tsv_fixed_what;
    std::wstring path;
    std::string shown_path;
    bool counts = true; // a problem, not a note
    enum class fix { none, dropped, indexed } fix_made = fix::none;
    CInfoHolder::record_ptr record; // the record dropped
    bool fixed = false;
};

// What files.dat holds now, as another process would read it.
bool reread_index(std::set<std::pair<uint32_t, std::string>> &records) {
    CInfoHolder reread;
    if (reread.load_index() != ERROR_SUCCESS)
        return false;
    for (const CInfoHolder::record_ptr &record : reread.records())
        records.emplace(record->key, record->path);
    return true;
}

} // namespace

int check_command(const command_line &line) {
    std::wstring folder;
    if (!line.operands.empty() && !folder_operand(line.operands[0], folder))
        return exit_failed;
    command_result result, listing;
    std::vector<check_finding> findings;
    auto found = [&](const char *what, const char *tsv_what, const std::wstring &path) {
        check_finding finding;
        finding.what = what;
        finding.tsv_what = tsv_what;
        finding.path = path;
        finding.shown_path = shown(path);
        findings.push_back(finding);
        return &findings.back();
    };

    std::vector<checked_record> refused;
    std::vector<indexed_item> items = indexed_items(folder, line.shares, listing, &refused);
    // A record that names no item lies under no folder: only a check of the
    // whole index meets it.
    if (!folder.empty())
        refused.clear();
    for (const checked_record &entry : refused) {
        check_finding finding;
        finding.shown_path = shown_ansi(entry.record->path);
        finding.record = entry.record;
        if (entry.use == record_use::no_wide_form) {
            // Bytes this code page does not define: perhaps a path of
            // another code page. Said, never dropped.
            finding.what = "not a path of this code page, never opened";
            finding.tsv_what = "not-this-code-page";
            finding.counts = false;
            findings.push_back(finding);
            continue;
        }
        finding.what = "not a full path, never opened";
        finding.tsv_what = "not-full-path";
        if (line.fix) {
            info_holder.forget_record(entry.record);
            finding.fix_made = check_finding::fix::dropped;
            finding.fixed_what = "not a full path, dropped from the index";
            finding.tsv_fixed_what = "not-full-path-dropped";
        }
        findings.push_back(finding);
    }
    for (const indexed_item &item : items) {
        if (item.unopened_share) {
            check_finding *note = found("on a share, not checked (--shares checks it)",
                                        "share-not-opened", item.path);
            note->counts = false;
            continue;
        }
        if (!item.key_matches) {
            // Written under another code page: the shell looks the path up
            // under another key and never finds the record.
            check_finding *finding =
                found("indexed under another key (written under another code page)",
                      "wrong-key", item.path);
            if (line.fix) {
                info_holder.forget_record(item.record);
                info_holder.enter_described(item.path.c_str(), item.record->icon_kind);
                finding->fix_made = check_finding::fix::indexed;
                finding->fixed_what = "indexed under another key, indexed again";
                finding->tsv_fixed_what = "wrong-key-indexed";
            }
            continue;
        }
        std::string text;
        DWORD code = item.record->read_stream(text);
        if (code == ERROR_SUCCESS)
            continue;
        if (!is_not_found(code)) {
            result.fail(shown(item.path) + ": " + error_text(code));
            continue;
        }
        bool item_gone = !item_exists(item.path);
        if (!item_gone) {
            // A program dropped the stream: this user's kept description goes
            // back on the item, or is said to be kept when another item took
            // the name.
            CInfoHolder::recovery recovered =
                info_holder.recover_description(item.path.c_str(), false);
            if (recovered == CInfoHolder::recovery::recovered)
                continue;
            if (recovered == CInfoHolder::recovery::item_replaced) {
                // Said as the same note whether or not the index still
                // names the item: nothing a check could fix.
                check_finding *finding =
                    found("description kept, item replaced (quillarvent recover attaches it)",
                          "kept-item-replaced", item.path);
                finding->record = item.record;
                finding->counts = false;
                if (line.fix) {
                    info_holder.forget_record(item.record);
                    finding->fix_made = check_finding::fix::dropped;
                    finding->fixed_what = "description kept, item replaced, dropped from the index";
                    finding->tsv_fixed_what = "kept-item-replaced-dropped";
                }
                continue;
            }
        }
        check_finding *finding = found(item_gone ? "item gone" : "stream gone",
                                       item_gone ? "item-gone" : "stream-gone", item.path);
        finding->record = item.record;
        if (line.fix) {
            // The store drops a record only when the item or its stream is
            // gone for good, never one on a volume that is not there.
            info_holder.get_description(item.path.c_str(), text);
            finding->fix_made = check_finding::fix::dropped;
            finding->fixed_what = item_gone ? "item gone, dropped from the index"
                                            : "stream gone, dropped from the index";
            finding->tsv_fixed_what = item_gone ? "item-gone-dropped" : "stream-gone-dropped";
        }
    }

    // Explorer shows the description column only through the property
    // handler of each type; a type another program's handler serves shows
    // none, and neither does one whose extension no type registration
    // takes. Folders have no property handler at all.
    struct described_type {
        std::wstring spelled; // as its first item spells it
        std::vector<std::wstring> items;
    };
    std::map<std::wstring, described_type> types; // by extension, case aside
    for (const indexed_item &item : items) {
        size_t dot = item.path.find_last_of(L"\\.");
        if (item.unopened_share || dot == std::wstring::npos || item.path[dot] != L'.' ||
            dot + 1 == item.path.size())
            continue;
        described_type &type = types[path_key(item.path.substr(dot))];
        if (type.items.empty())
            type.spelled = item.path.substr(dot);
        type.items.push_back(item.path);
    }
    for (const auto &entry : types) {
        const described_type &type = entry.second;
        std::string ansi;
        bool registrable = ansi_path_of(type.spelled.c_str(), ansi) && is_registrable_type(ansi);
        property_handler_owner owner =
            registrable ? property_handler_of(ansi) : property_handler_owner::none;
        if (owner == property_handler_owner::ours ||
            std::all_of(type.items.begin(), type.items.end(), [](const std::wstring &path) {
                DWORD attributes = GetFileAttributesW(openable(path).c_str());
                return attributes != INVALID_FILE_ATTRIBUTES &&
                       (attributes & FILE_ATTRIBUTE_DIRECTORY);
            }))
            continue;
        const char *what =
            !registrable ? "no description column in Explorer: only extensions of one to four "
                           "characters are registered"
            : owner == property_handler_owner::other
                ? "no description column in Explorer: another program's property handler "
                  "serves this type"
                : "no description column in Explorer: no property handler is registered for "
                  "this type (registering the library again adds it)";
        const char *tsv_what = !registrable                             ? "column-not-registrable"
                               : owner == property_handler_owner::other ? "column-taken"
                                                                        : "column-not-registered";
        found(what, tsv_what, type.spelled)->counts = false;
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
            if (!fits_code_page(path.c_str())) {
                // Said once, as a note: no fix can ever index this name.
                check_finding *note = found(
                    "not indexed: the name has a character the ANSI code page lacks, which "
                    "files.dat cannot hold",
                    "not-indexed-outside-code-page", path);
                note->counts = false;
                continue;
            }
            if (kind < 0 || kind > 5) {
                result.fail(shown(path) + ": the stream holds kind " + std::to_string(kind) +
                            ", outside 0-5");
                continue;
            }
            check_finding *finding = found("not indexed", "not-indexed", path);
            if (line.fix && info_holder.enter_described(path.c_str(), kind) <= 1) {
                finding->fix_made = check_finding::fix::indexed;
                finding->fixed_what = "not indexed, now indexed";
                finding->tsv_fixed_what = "not-indexed-indexed";
            }
        }
    }

    // What the keep file says: the recoveries since the last check, the
    // kept descriptions no item carries, and whether it can be had at all.
    std::vector<keep_entry> recovered;
    keep_file.recoveries(recovered);
    for (const keep_entry &entry : recovered)
        if (folder.empty() || is_under(folder, entry.path))
            found("recovered: the description was written back", "recovered", entry.path)->counts =
                false;
    for (const found_item &item : kept_not_attached(line.shares)) {
        bool listed = std::any_of(findings.begin(), findings.end(), [&](const check_finding &f) {
            return f.path == item.path && f.tsv_what == "kept-item-replaced";
        });
        if (!listed && (folder.empty() || is_under(folder, item.path)))
            found("description kept, item replaced (quillarvent recover attaches it)",
                  "kept-item-replaced", item.path)
                ->counts = false;
    }
    // A check of the whole index is the mark the next one lists recoveries
    // after, and finds out whether the keep file can be written.
    if (folder.empty() && keep_file.problem() == ERROR_SUCCESS)
        keep_file.record(keep_entry_of(keep_event::checked, L"", 0, "", item_identity()));
    if (DWORD problem = keep_file.problem())
        result.fail(shown(keep_file.path()) + ": the keep file is unavailable (" +
                    error_text(problem) + "): descriptions a program drops cannot be recovered");
    // Markers that other programs' overlay identifiers keep out of
    // Explorer's slots: a note, nothing a check could fix.
    overlay_slots slots;
    if (read_overlay_slots(slots) == ERROR_SUCCESS && !slots.left_out.empty()) {
        std::wstring names;
        for (const std::wstring &name : slots.left_out)
            names += (names.empty() ? L"" : L", ") + name;
        found("overlays Explorer will not show, others sorting ahead (see quillarvent overlays)",
              "overlays-left-out", names)
            ->counts = false;
    }

    // A fix counts only when files.dat, read again, shows it.
    std::set<std::pair<uint32_t, std::string>> now;
    bool reread = line.fix && reread_index(now);
    if (line.fix && !reread)
        result.fail("files.dat cannot be read again: no fix is confirmed");
    size_t unfixed = 0;
    for (check_finding &finding : findings) {
        if (reread && finding.fix_made == check_finding::fix::dropped)
            finding.fixed = !now.count({finding.record->key, finding.record->path});
        if (reread && finding.fix_made == check_finding::fix::indexed) {
            std::string ansi;
            finding.fixed = ansi_path_of(finding.path.c_str(), ansi) &&
                            now.count({path_hash(finding.path.c_str()), ansi});
        }
        const std::string &what = finding.fixed ? finding.fixed_what : finding.what;
        const std::string &tsv_what = finding.fixed ? finding.tsv_fixed_what : finding.tsv_what;
        write_out((line.tsv ? tsv_what + '\t' : what + ": ") + finding.shown_path + "\r\n");
        if (finding.counts && !finding.fixed)
            ++unfixed;
    }
    if (unfixed)
        result.fail(std::to_string(unfixed) + (unfixed == 1 ? " problem" : " problems") +
                    (line.fix ? " left" : " found"));
    return result.status();
}
