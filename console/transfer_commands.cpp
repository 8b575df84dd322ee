#include "console/commands.h"

#include <shlobj.h>

#include <algorithm>
#include <map>
#include <set>

#include "console/console_io.h"
#include "console/file_formats.h"
#include "console/text_forms.h"
#include "module/module_start_up.h"
#include "module/win_handles.h"
#include "store/description_edit.h"
#include "store/item_info.h"
#include "store/path_text.h"

namespace {

const wchar_t descript_ion_name[] = L"descript.ion";
// Far more than any folder's descriptions; a larger file is not one.
const size_t max_descript_ion_bytes = 64u << 20;

// Far more than any machine's descriptions; a larger file is not a backup.
const size_t max_backup_bytes = 1u << 30;

// The volume and file number of an item: one folder under two names (a
// short name, a link) is one folder.
bool identity_of(const std::wstring &path, BY_HANDLE_FILE_INFORMATION &info) {
    ScopedFile item(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return item.valid() && GetFileInformationByHandle(item.get(), &info);
}

bool is_same_item(const std::wstring &a, const std::wstring &b) {
    BY_HANDLE_FILE_INFORMATION first, second;
    if (!identity_of(a, first) || !identity_of(b, second))
        return path_key(a) == path_key(b);
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

// The full path of a backup to write, when it may be written: a file that
// is missing, empty or a backup already, outside the configuration folder
// (files.dat and its copies are no backups to replace).
bool backup_target_of(const std::wstring &operand, std::wstring &file, std::string &problem) {
    DWORD needed = GetFullPathNameW(operand.c_str(), 0, nullptr, nullptr);
    file.assign(needed, L'\0');
    if (needed == 0 ||
        GetFullPathNameW(operand.c_str(), needed, &file[0], nullptr) >= needed) {
        problem = "not a valid path";
        return false;
    }
    file.resize(wcslen(file.c_str()));
    DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        problem = "is a folder";
        return false;
    }
    std::wstring index;
    if (index_path[0] && wide_path_of(index_path, index) &&
        (is_same_item(parent_of(file), parent_of(index)) ||
         (attributes != INVALID_FILE_ATTRIBUTES && is_same_item(file, index)))) {
        problem = "is in the configuration folder, beside files.dat: not written";
        return false;
    }
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    std::string bytes;
    DWORD error;
    if (!read_file_bytes(file, bytes, error, max_backup_bytes)) {
        problem = "cannot be read: " + error_text(error);
        return false;
    }
    bool utf8;
    std::vector<std::string> lines = split_lines(bytes, utf8);
    if (!bytes.empty() && (lines.empty() || lines[0] != backup_header)) {
        problem = std::string("is not a Quillarvent backup (its first line is not \"") +
                  backup_header + "\"): not replaced";
        return false;
    }
    return true;
}

std::string where(const std::wstring &file, size_t line_number) {
    return shown(file) + ":" + std::to_string(line_number);
}

// A description to write back, and where it came from for messages.
struct pending_write {
    CInfoHolder::new_description description;
    std::string origin;
};

// The item of a line checked as the store would, so that a refusal names
// the line: a full path as written (a "/" or ".." is refused, never
// resolved into another item), with a text the stream holds. Only then is
// it spelled as the shell spells it, which is the key its handlers look up,
// and only when that spelling names the same item. A path an earlier line
// named (in any spelling) with another description is refused: the second
// line would undo the first; the same description again is passed over.
struct named_items {
    path_speller speller;
    struct named {
        std::string origin;
        int32_t kind;
        std::string text;
    };
    std::map<std::wstring, named> earlier; // by path_key
};

bool same_item(const std::wstring &written, const std::wstring &spelled) {
    if (path_key(written) == path_key(spelled))
        return true;
    // Short names spelled long.
    wchar_t long_form[MAX_PATH];
    DWORD length = GetLongPathNameW(written.c_str(), long_form, MAX_PATH);
    return length > 0 && length < MAX_PATH && path_key(long_form) == path_key(spelled);
}

enum class line_item { usable, repeated, refused };

line_item usable_item(const std::string &origin, std::wstring &path, int32_t kind,
                      const std::string &text, named_items &seen, command_result &result) {
    std::string ansi;
    if (!ansi_path_of(path.c_str(), ansi) || !is_canonical_full_path(path.c_str()) ||
        ansi.size() >= MAX_PATH) {
        result.fail(origin + ": " + shown(path) + " is not a plain full path the index can hold");
        return line_item::refused;
    }
    std::wstring spelled = seen.speller.spell(path);
    if (!same_item(path, spelled)) {
        result.fail(origin + ": " + shown(path) + " is spelled " + shown(spelled) +
                    " on disk, which names another item");
        return line_item::refused;
    }
    path = spelled;
    auto earlier = seen.earlier.emplace(path_key(path), named_items::named{origin, kind, text});
    if (!earlier.second) {
        const named_items::named &first = earlier.first->second;
        if (first.kind == kind && first.text == text)
            return line_item::repeated;
        result.fail(origin + ": " + shown(path) + " was named before, at " + first.origin);
        return line_item::refused;
    }
    if (text.size() > max_description_bytes) {
        result.fail(origin + ": " + shown(path) + ": the description is longer than " +
                    std::to_string(max_description_bytes) + " bytes");
        return line_item::refused;
    }
    return line_item::usable;
}

// Writes what is pending through the store, one update of files.dat for
// all; counts what each item's stream got.
struct write_counts {
    size_t written = 0, in_place = 0, kept = 0;
    size_t unindexed = 0; // stored, but not in files.dat
};

// What a write of each pending description would do, changing nothing.
std::vector<CInfoHolder::batch_result> preview_all(const std::vector<pending_write> &pending) {
    std::vector<CInfoHolder::batch_result> results;
    for (const pending_write &write : pending) {
        const CInfoHolder::new_description &wanted = write.description;
        item_info item(wanted.icon_kind, wanted.path.c_str());
        CInfoHolder::batch_result result{ERROR_SUCCESS, item_info::merge_outcome::in_place};
        result.code = item.preview_merge(wanted.text.c_str(), wanted.keep_text, wanted.keep_kind,
                                         result.outcome);
        results.push_back(result);
    }
    return results;
}

write_counts write_all(const std::vector<pending_write> &pending, bool dry_run,
                       command_result &result) {
    std::vector<CInfoHolder::new_description> batch;
    batch.reserve(pending.size());
    for (const pending_write &write : pending)
        batch.push_back(write.description);
    std::vector<CInfoHolder::batch_result> results =
        dry_run ? preview_all(pending) : info_holder.add_descriptions(batch);
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
            if (dry_run)
                write_out("would write: " + shown(batch[i].path) + "\r\n");
            else
                changed_folders.emplace(path_key(parent_of(batch[i].path)),
                                        parent_of(batch[i].path));
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
    bool to_output = line.operands[0] == L"-";
    std::wstring file;
    std::string problem;
    if (!to_output && !backup_target_of(line.operands[0], file, problem)) {
        say_error(shown(line.operands[0]) + ": " + problem);
        return exit_failed;
    }

    command_result result;
    std::vector<std::pair<std::wstring, std::string>> rows; // path, line
    std::map<std::wstring, size_t> row_of;                  // by path_key
    std::map<std::wstring, std::wstring> lost;              // key, path: record kept, stream gone
    std::map<std::wstring, std::wstring> unopened;          // key, path: on a share
    for (const indexed_item &item : indexed_items(std::wstring(), line.shares, result)) {
        if (item.unopened_share) {
            unopened.emplace(path_key(item.path), item.path);
            continue;
        }
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
        // One item indexed under two spellings is one line, in the shell's
        // spelling when one of them is it: a restore would refuse the second.
        auto earlier = row_of.emplace(path_key(item.path), rows.size());
        if (earlier.second)
            rows.emplace_back(item.path, row);
        else if (shell_spelling_of(item.path) == item.path)
            rows[earlier.first->second] = std::make_pair(item.path, row);
    }

    // A description whose stream was lost (its record is still indexed)
    // lives on only in the earlier backup: its line is kept, or this backup
    // would lose it for good. A description removed on purpose has no
    // record, and its line goes.
    // An item on a share that was not opened keeps its earlier line too.
    std::string old_bytes;
    DWORD error;
    if (!to_output && (!lost.empty() || !unopened.empty()) &&
        read_file_bytes(file, old_bytes, error)) {
        bool utf8;
        std::vector<std::string> old_lines = split_lines(old_bytes, utf8);
        for (size_t i = 1;
             !old_lines.empty() && old_lines[0] == backup_header && i < old_lines.size(); ++i) {
            backup_entry entry;
            std::wstring path;
            if (!parse_backup_line(old_lines[i], entry, problem) ||
                !wide_path_of(entry.path, path))
                continue;
            if (row_of.count(path_key(path)))
                continue;
            auto share = unopened.find(path_key(path));
            if (share != unopened.end()) {
                row_of.emplace(path_key(path), rows.size());
                rows.emplace_back(path, old_lines[i]);
                say_error(shown(path) + ": on a share, not opened; its line is kept from the "
                                        "earlier backup (--shares reads it)");
                unopened.erase(share);
                continue;
            }
            auto gone = lost.find(path_key(path));
            if (gone == lost.end())
                continue;
            row_of.emplace(path_key(path), rows.size());
            rows.emplace_back(path, old_lines[i]);
            result.fail(shown(path) +
                        ": its description stream is gone; its line is kept from "
                        "the earlier backup (restore --only-missing brings it back)");
            lost.erase(gone);
        }
    }
    for (const auto &gone : lost)
        result.fail(shown(gone.second) +
                    ": not backed up: its description stream is gone (see check)");
    for (const auto &share : unopened)
        result.fail(shown(share.second) +
                    ": not backed up: on a share, not opened (--shares opens it)");

    std::sort(rows.begin(), rows.end(),
              [](const auto &a, const auto &b) { return path_less(a.first, b.first); });
    std::string content = std::string(backup_header) + "\r\n";
    for (const auto &row : rows)
        content += row.second + "\r\n";
    if (to_output) {
        write_out(content);
        return result.status();
    }
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
    DWORD error = ERROR_READ_FAULT;
    if (file == L"-" ? !read_input_bytes(bytes, max_backup_bytes)
                     : !read_file_bytes(file, bytes, error, max_backup_bytes)) {
        say_error(shown(file) + ": cannot be read: " + error_text(error));
        return exit_failed;
    }
    // A DOS end-of-file mark after the last line ends the file.
    if (!bytes.empty() && bytes.back() == '\x1A')
        bytes.pop_back();
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
        if (usable_item(origin, path, entry.kind, entry.text, seen, result) != line_item::usable)
            continue;
        // --only-missing: a stream that holds a text is left as it is.
        pending.push_back(
            pending_write{{path, entry.kind, entry.text, line.only_missing, false}, origin});
    }
    write_counts counts = write_all(pending, line.dry_run, result);
    if (!line.tsv)
        say(std::to_string(counts.written) +
            (line.dry_run ? " descriptions would be restored, " : " descriptions restored, ") +
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
    for (const indexed_item &item : indexed_items(folder, line.shares, result)) {
        if (item.unopened_share) {
            result.fail(shown(item.path) +
                        ": not exported: on a share, not opened (--shares opens it)");
            continue;
        }
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
        // Lines in the system's code page added to a file in another
        // encoding would make it unreadable: such a file stays as it is.
        if (const char *refusal = descript_ion_refusal(old_bytes, true)) {
            result.fail(shown(file) + ": " + refusal + ": left as it was");
            continue;
        }
        if (!old_bytes.empty() && old_bytes.back() == '\x1A')
            old_bytes.pop_back();
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
    std::vector<std::wstring> files = descript_ion_files(folder, line.recursive);
    if (files.empty()) {
        say_error(shown(folder) + (line.recursive ? ": no descript.ion in it or below it"
                                                  : ": no descript.ion in it"));
        return exit_failed;
    }
    for (const std::wstring &file : files) {
        std::string bytes;
        DWORD error;
        if (!read_file_bytes(file, bytes, error, max_descript_ion_bytes)) {
            result.fail(shown(file) + ": cannot be read: " + error_text(error));
            continue;
        }
        // A DOS end-of-file mark ends the file, also right after the last
        // line's text.
        size_t end_mark = bytes.find('\x1A');
        if (end_mark != std::string::npos)
            bytes.resize(end_mark);
        if (const char *refusal = descript_ion_refusal(bytes, false)) {
            result.fail(shown(file) + ": " + refusal + ": not read");
            continue;
        }
        bool utf8;
        std::vector<std::string> lines = split_lines(bytes, utf8);
        std::wstring item_folder = parent_of(file);
        for (size_t i = 0; i < lines.size(); ++i) {
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
            if (usable_item(origin, path, 0, entry.text, seen, result) != line_item::usable)
                continue;
            // descript.ion has no marker: a replaced description keeps its
            // own, a new one gets the first.
            pending.push_back(pending_write{{path, 0, entry.text, !line.replace, true}, origin});
        }
    }
    write_counts counts = write_all(pending, line.dry_run, result);
    if (!line.tsv)
        say(std::to_string(counts.written) +
            (line.dry_run ? " descriptions would be imported, " : " descriptions imported, ") +
            std::to_string(counts.in_place) + " already in place, " + std::to_string(counts.kept) +
            " kept (another description is there; --replace replaces it)");
    return result.status();
}
