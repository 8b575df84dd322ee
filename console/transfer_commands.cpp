#include "console/commands.h"

#include <shlobj.h>

#include <algorithm>
#include <map>
#include <set>

#include "console/file_formats.h"
#include "console/text_forms.h"
#include "store/description_edit.h"
#include "store/item_info.h"
#include "store/path_text.h"

namespace {

const wchar_t descript_ion_name[] = L"descript.ion";
// Far more than any folder's descriptions; a larger file is not one.
const size_t max_descript_ion_bytes = 64u << 20;

std::string where(const std::wstring &file, size_t line_number) {
    return shown(file) + ":" + std::to_string(line_number);
}

// A description to write back, and where it came from for messages.
struct pending_write {
    CInfoHolder::new_description description;
    std::string origin;
};

// The item of a line checked as the store would, so that a refusal names
// the line: a full path, with a text the stream holds. The path is spelled
// as the shell spells it, which is the key its handlers look up, and a path
// an earlier line named (in any spelling) is refused: the second line would
// undo the first.
struct named_items {
    path_speller speller;
    std::map<std::wstring, std::string> origins; // by path_key
};

bool usable_item(const std::string &origin, std::wstring &path, const std::string &text,
                 named_items &seen, command_result &result) {
    path = seen.speller.spell(path);
    auto earlier = seen.origins.emplace(path_key(path), origin);
    if (!earlier.second) {
        result.fail(origin + ": " + shown(path) + " was named before, at " + earlier.first->second);
        return false;
    }
    std::string ansi;
    if (!ansi_path_of(path.c_str(), ansi) || !is_canonical_full_path(path.c_str()) ||
        ansi.size() >= MAX_PATH) {
        result.fail(origin + ": " + shown(path) + " is not a plain full path the index can hold");
        return false;
    }
    if (text.size() > max_description_bytes) {
        result.fail(origin + ": " + shown(path) + ": the description is longer than " +
                    std::to_string(max_description_bytes) + " bytes");
        return false;
    }
    return true;
}

// Writes what is pending through the store, one update of files.dat for
// all; counts what each item's stream got.
struct write_counts {
    size_t written = 0, in_place = 0, kept = 0;
    size_t unindexed = 0; // stored, but not in files.dat
};

write_counts write_all(const std::vector<pending_write> &pending, command_result &result) {
    std::vector<CInfoHolder::new_description> batch;
    batch.reserve(pending.size());
    for (const pending_write &write : pending)
        batch.push_back(write.description);
    std::vector<CInfoHolder::batch_result> results = info_holder.add_descriptions(batch);
    write_counts counts;
    std::map<std::wstring, std::wstring> changed_folders;
    for (size_t i = 0; i < results.size(); ++i) {
        DWORD code = results[i].code;
        std::string item = pending[i].origin + ": " + shown(batch[i].path) + ": ";
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            result.fail(item + "not found");
            continue;
        }
        if (const char *error = save_error_text(code)) {
            result.fail(item + one_line(error));
            continue;
        }
        if (code == 1)
            ++counts.unindexed;
        switch (results[i].outcome) {
        case item_info::merge_outcome::written:
            ++counts.written;
            changed_folders.emplace(path_key(parent_of(batch[i].path)), parent_of(batch[i].path));
            break;
        case item_info::merge_outcome::in_place:
            ++counts.in_place;
            break;
        case item_info::merge_outcome::kept:
            ++counts.kept;
            break;
        }
    }
    // Open folder windows show the new descriptions: one notice per folder.
    for (const auto &folder : changed_folders)
        SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, folder.second.c_str(),
                       nullptr);
    // The store has said why; once is enough.
    if (counts.unindexed)
        result.fail(std::to_string(counts.unindexed) +
                    " descriptions were stored, but files.dat could not be written");
    return counts;
}

std::string name_of(const std::string &ansi_path) {
    size_t last = last_backslash(ansi_path, GetACP());
    return last == std::string::npos ? ansi_path : ansi_path.substr(last + 1);
}

std::wstring descript_ion_in(const std::wstring &folder) {
    return folder.back() == L'\\' ? folder + descript_ion_name : folder + L'\\' + descript_ion_name;
}

// The descript.ion files of `folder`, and of every folder under it when
// `recursive`, in path order.
std::vector<std::wstring> descript_ion_files(const std::wstring &folder, bool recursive) {
    std::vector<std::wstring> folders{folder};
    if (recursive)
        walk_folder(folder, [&](const std::wstring &path, bool is_folder) {
            if (is_folder && path != folder)
                folders.push_back(path);
        });
    std::sort(folders.begin(), folders.end(), path_less);
    std::vector<std::wstring> files;
    for (const std::wstring &current : folders) {
        std::wstring file = descript_ion_in(current);
        DWORD attributes = GetFileAttributesW(file.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back(file);
    }
    return files;
}

} // namespace

int backup_command(const command_line &line) {
    std::wstring file;
    DWORD error = ERROR_BAD_PATHNAME;
    DWORD full_length = GetFullPathNameW(line.operands[0].c_str(), 0, nullptr, nullptr);
    file.assign(full_length, L'\0');
    if (full_length == 0 ||
        GetFullPathNameW(line.operands[0].c_str(), full_length, &file[0], nullptr) >= full_length)
        file.clear();
    else
        file.resize(wcslen(file.c_str()));
    if (file.empty()) {
        say_error(shown(line.operands[0]) + ": cannot be written: " + error_text(error));
        return exit_failed;
    }

    command_result result;
    std::vector<std::pair<std::wstring, std::string>> rows; // path, line
    std::map<std::wstring, std::wstring> lost;              // key, path
    std::set<std::wstring> backed_up;
    for (const indexed_item &item : indexed_items(std::wstring())) {
        backup_entry entry;
        entry.kind = item.record->icon_kind;
        entry.path = item.record->path;
        DWORD code = item.record->read_stream(entry.text, &entry.kind);
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            lost.emplace(path_key(item.path), item.path);
            continue;
        }
        if (code != ERROR_SUCCESS) {
            result.fail(shown(item.path) + ": not backed up: " + error_text(code));
            continue;
        }
        if (entry.kind < 0 || entry.kind > 5) {
            result.fail(shown(item.path) + ": its stream holds kind " + std::to_string(entry.kind) +
                        ", backed up as 0");
            entry.kind = 0;
        }
        std::string row;
        if (!backup_line_of(entry, row)) {
            result.fail(shown(item.path) + ": not backed up: the path has no UTF-8 form");
            continue;
        }
        rows.emplace_back(item.path, row);
        backed_up.insert(path_key(item.path));
    }

    // A description whose stream is gone since the earlier backup lives on
    // only there: its line is kept, or this backup would lose it for good.
    std::string old_bytes;
    if (read_file_bytes(file, old_bytes, error)) {
        bool utf8;
        std::vector<std::string> old_lines = split_lines(old_bytes, utf8);
        for (size_t i = 1;
             !old_lines.empty() && old_lines[0] == backup_header && i < old_lines.size(); ++i) {
            backup_entry entry;
            std::string problem;
            std::wstring path;
            if (!parse_backup_line(old_lines[i], entry, problem) ||
                !wide_path_of(entry.path, path) || backed_up.count(path_key(path)) ||
                !item_exists(path))
                continue;
            std::string text;
            if (item_info(0, path.c_str()).read_stream(text) == ERROR_SUCCESS && !text.empty())
                continue;
            backed_up.insert(path_key(path));
            lost.erase(path_key(path));
            rows.emplace_back(path, old_lines[i]);
            result.fail(shown(path) + ": its description stream is gone; its line is kept from "
                                      "the earlier backup (restore --only-missing brings it back)");
        }
    }
    for (const auto &gone : lost)
        result.fail(shown(gone.second) +
                    ": not backed up: its description stream is gone (see check)");

    std::sort(rows.begin(), rows.end(),
              [](const auto &a, const auto &b) { return path_less(a.first, b.first); });
    std::string content = std::string(backup_header) + "\r\n";
    for (const auto &row : rows)
        content += row.second + "\r\n";
    if (!replace_file_bytes(file, content, FILE_ATTRIBUTE_NORMAL, error)) {
        say_error(shown(line.operands[0]) + ": cannot be written: " + error_text(error));
        return exit_failed;
    }
    if (!line.tsv)
        say(std::to_string(rows.size()) + " descriptions backed up to " + shown(file));
    return result.status();
}

int restore_command(const command_line &line) {
    const std::wstring &file = line.operands[0];
    std::string bytes;
    DWORD error;
    if (!read_file_bytes(file, bytes, error)) {
        say_error(shown(file) + ": cannot be read: " + error_text(error));
        return exit_failed;
    }
    bool utf8_mark;
    std::vector<std::string> lines = split_lines(bytes, utf8_mark);
    if (lines.empty() || lines[0] != backup_header) {
        say_error(shown(file) + ": not a Quillarvent backup (its first line is not \"" +
                  backup_header + "\")");
        return exit_failed;
    }
    command_result result;
    std::vector<pending_write> pending;
    named_items seen;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].empty() || lines[i][0] == '#')
            continue;
        std::string origin = where(file, i + 1);
        backup_entry entry;
        std::string problem;
        std::wstring path;
        if (!parse_backup_line(lines[i], entry, problem)) {
            result.fail(origin + ": " + problem);
            continue;
        }
        wide_path_of(entry.path, path);
        if (!usable_item(origin, path, entry.text, seen, result))
            continue;
        // --only-missing: a stream that holds a text is left as it is.
        pending.push_back(
            pending_write{{path, entry.kind, entry.text, line.only_missing, false}, origin});
    }
    write_counts counts = write_all(pending, result);
    if (!line.tsv)
        say(std::to_string(counts.written) + " descriptions restored, " +
            std::to_string(counts.in_place + counts.kept) + " already in place");
    return result.status();
}

int export_command(const command_line &line) {
    std::wstring folder;
    if (!folder_operand(line.operands[0], folder))
        return exit_failed;
    command_result result;
    // Items by their folder; a folder spelled in two cases is one folder.
    std::map<std::wstring, std::vector<descript_ion_entry>,
             bool (*)(const std::wstring &, const std::wstring &)>
        by_folder([](const std::wstring &a, const std::wstring &b) {
            return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                        static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
        });
    for (const indexed_item &item : indexed_items(folder)) {
        std::wstring parent = parent_of(item.path);
        if (!line.recursive &&
            CompareStringOrdinal(parent.c_str(), static_cast<int>(parent.size()), folder.c_str(),
                                 static_cast<int>(folder.size()), TRUE) != CSTR_EQUAL)
            continue;
        descript_ion_entry entry;
        entry.name = name_of(item.record->path);
        DWORD code = item.record->read_stream(entry.text);
        if (code != ERROR_SUCCESS) {
            result.fail(shown(item.path) + ": not exported: " +
                        (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                             ? std::string("its description stream is gone (see check)")
                             : error_text(code)));
            continue;
        }
        if (!entry.text.empty() && !entry.name.empty())
            by_folder[parent].push_back(std::move(entry));
    }

    size_t exported = 0, files_written = 0;
    for (auto &group : by_folder) {
        std::wstring file = descript_ion_in(group.first);
        std::string old_bytes;
        DWORD error = ERROR_SUCCESS;
        DWORD attributes = GetFileAttributesW(file.c_str());
        bool existed = attributes != INVALID_FILE_ATTRIBUTES;
        if (existed && !read_file_bytes(file, old_bytes, error, max_descript_ion_bytes)) {
            result.fail(shown(file) + ": cannot be read: " + error_text(error));
            continue;
        }
        bool utf8 = false;
        std::vector<std::string> old_lines = split_lines(old_bytes, utf8);
        // Each item's line by its name as the file system compares names.
        std::map<std::wstring, std::string> new_lines;
        std::vector<std::wstring> order;
        for (const descript_ion_entry &entry : group.second) {
            std::string text, problem;
            std::wstring name;
            wide_path_of(entry.name, name);
            if (!descript_ion_line_of(entry, utf8, text, problem)) {
                result.fail(shown(file) + ": " + shown(name) + ": not exported: " + problem);
                continue;
            }
            if (new_lines.emplace(path_key(name), text + "\r\n").second)
                order.push_back(name);
        }
        std::string content = utf8 ? "\xEF\xBB\xBF" : "";
        // Lines of items without a description here stay as they are.
        std::set<std::wstring> placed;
        for (const std::string &old_line : old_lines) {
            descript_ion_entry parsed;
            std::string ignored;
            std::wstring name;
            auto match = new_lines.end();
            if (parse_descript_ion_line(old_line, utf8, parsed, ignored) &&
                wide_path_of(parsed.name, name))
                match = new_lines.find(path_key(name));
            if (match == new_lines.end())
                content += old_line + "\r\n";
            else if (placed.insert(match->first).second)
                content += match->second;
        }
        std::sort(order.begin(), order.end(), path_less);
        for (const std::wstring &name : order)
            if (!placed.count(path_key(name)))
                content += new_lines[path_key(name)];
        exported += new_lines.size();
        if (content == old_bytes)
            continue;
        // A new file is hidden, as file managers keep it.
        DWORD kept = existed ? attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                             FILE_ATTRIBUTE_ARCHIVE)
                             : FILE_ATTRIBUTE_HIDDEN;
        if (existed && (attributes & FILE_ATTRIBUTE_READONLY)) {
            result.fail(shown(file) + ": is read-only, left as it was");
            continue;
        }
        if (!replace_file_bytes(file, content, kept ? kept : FILE_ATTRIBUTE_NORMAL, error)) {
            result.fail(shown(file) + ": cannot be written: " + error_text(error));
            continue;
        }
        ++files_written;
    }
    if (!line.tsv)
        say(std::to_string(exported) + " descriptions exported, " + std::to_string(files_written) +
            " descript.ion files written");
    return result.status();
}

int import_command(const command_line &line) {
    std::wstring folder;
    if (!folder_operand(line.operands[0], folder))
        return exit_failed;
    command_result result;
    std::vector<pending_write> pending;
    named_items seen;
    std::string problem;
    for (const std::wstring &file : descript_ion_files(folder, line.recursive)) {
        std::string bytes;
        DWORD error;
        if (!read_file_bytes(file, bytes, error, max_descript_ion_bytes)) {
            result.fail(shown(file) + ": cannot be read: " + error_text(error));
            continue;
        }
        bool utf8;
        std::vector<std::string> lines = split_lines(bytes, utf8);
        std::wstring item_folder = parent_of(file);
        for (size_t i = 0; i < lines.size(); ++i) {
            // A DOS end-of-file mark ends the file.
            if (!lines[i].empty() && lines[i][0] == '\x1A')
                break;
            if (lines[i].empty())
                continue;
            std::string origin = where(file, i + 1);
            descript_ion_entry entry;
            if (!parse_descript_ion_line(lines[i], utf8, entry, problem)) {
                result.fail(origin + ": " + problem);
                continue;
            }
            std::wstring name, path;
            wide_path_of(entry.name, name);
            path = item_folder.back() == L'\\' ? item_folder + name : item_folder + L'\\' + name;
            if (!usable_item(origin, path, entry.text, seen, result))
                continue;
            // descript.ion has no marker: a replaced description keeps its
            // own, a new one gets the first.
            pending.push_back(pending_write{{path, 0, entry.text, !line.replace, true}, origin});
        }
    }
    write_counts counts = write_all(pending, result);
    if (!line.tsv)
        say(std::to_string(counts.written) + " descriptions imported, " +
            std::to_string(counts.in_place) + " already in place, " + std::to_string(counts.kept) +
            " kept (another description is there; --replace replaces it)");
    return result.status();
}
