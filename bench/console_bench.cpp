// Prints the console program's figures: backup and restore of 100,000
// descriptions, against reading and writing the same streams in a bare loop
// in the same run. Each is the best of several turns.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "console/commands.h"
#include "console/file_formats.h"
#include "module/module_start_up.h"
#include "store/info_holder.h"
#include "store/keep_file.h"
#include "tests/test_support.h"

namespace {

const int item_count = 100000;
const int folder_count = 100;

std::wstring wide(const std::string &ansi) {
    std::wstring text;
    wide_path_of(ansi, text);
    return text;
}

std::string text_of(const char *variant, int i) {
    return std::string(variant) + " description of item " + std::to_string(i) +
           ", a line a person might write about a file";
}

// A backup of every item with texts of `variant`.
void write_backup(const std::string &file, const std::vector<std::string> &paths,
                  const char *variant) {
    std::string content = std::string(backup_header) + "\r\n";
    for (size_t i = 0; i < paths.size(); ++i) {
        backup_entry entry;
        entry.kind = static_cast<int32_t>(i % 6);
        entry.path = paths[i];
        entry.text = text_of(variant, static_cast<int>(i));
        std::string line;
        backup_line_of(entry, line);
        content += line + "\r\n";
    }
    write_whole_file(file, content);
}

int run_command(int (*command)(const command_line &), const std::string &operand) {
    command_line line;
    line.operands.push_back(wide(operand));
    line.tsv = true; // no summary line between the figures
    return command(line);
}

} // namespace

int main() {
    TempFolder temp;
    std::string index_file = temp.path() + "files.dat";
    write_whole_file(index_file, "");
    strcpy(index_path, index_file.c_str());
    info_holder.load_index();
    // Each restore also records what it wrote in this user's keep file.
    keep_file.set_path(wide(temp.path() + "keep.dat"));

    std::vector<std::string> paths;
    std::vector<std::wstring> streams;
    for (int f = 0; f < folder_count; ++f)
        CreateDirectoryA((temp.path() + "folder" + std::to_string(f)).c_str(), nullptr);
    for (int i = 0; i < item_count; ++i) {
        paths.push_back(temp.path() + "folder" + std::to_string(i % folder_count) + "\\item_" +
                        std::to_string(i) + ".txt");
        write_whole_file(paths.back(), "x");
        streams.push_back(wide(paths.back()) + L":plivar");
    }
    // The backup is written outside files.dat's folder, which takes none.
    TempFolder output;
    std::string backup_a = temp.path() + "a.txt", backup_b = temp.path() + "b.txt",
                backup_out = output.path() + "out.txt";
    write_backup(backup_a, paths, "alpha");
    write_backup(backup_b, paths, "beta");
    if (run_command(restore_command, backup_a) != 0) {
        printf("the first restore failed\n");
        return 1;
    }

    // A stream written as the store writes it, without the store.
    auto write_streams_bare = [&](const char *variant) {
        for (int i = 0; i < item_count; ++i) {
            std::string record = std::string("\0\0\0\0", 4) + text_of(variant, i);
            record[0] = static_cast<char>(i % 6);
            HANDLE stream = CreateFileW(streams[i].c_str(), FILE_READ_DATA | FILE_WRITE_DATA,
                                        FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
            DWORD written;
            WriteFile(stream, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
            SetEndOfFile(stream);
            CloseHandle(stream);
        }
    };

    // Every restore writes each stream: its backup holds the other texts.
    bool next_is_b = true;
    auto restore = best_by_turns(
        2,
        [&] {
            run_command(restore_command, next_is_b ? backup_b : backup_a);
            next_is_b = !next_is_b;
        },
        [&] {
            // The texts the streams hold now, written again.
            write_streams_bare(next_is_b ? "alpha" : "beta");
        });
    print_ratio("restore_100k_changed", restore.first * 1e3, restore.second * 1e3, "ms", 1.5);

    // The case restore is for: the streams are gone. Both sides create them.
    auto lose_streams = [&] {
        for (const std::wstring &stream : streams)
            DeleteFileW(stream.c_str());
    };
    double best_restore = 1e30, best_bare = 1e30;
    for (int turn = 0; turn < 2; ++turn) {
        lose_streams();
        best_restore =
            std::min(best_restore, seconds_of([&] { run_command(restore_command, backup_a); }));
        lose_streams();
        best_bare = std::min(best_bare, seconds_of([&] { write_streams_bare("alpha"); }));
    }
    print_ratio("restore_100k", best_restore * 1e3, best_bare * 1e3, "ms", 1.5);

    if (run_command(backup_command, backup_out) != 0) {
        printf("backup failed\n");
        return 1;
    }
    auto backup = best_by_turns(
        2, [&] { run_command(backup_command, backup_out); },
        [&] {
            char buffer[read_buffer_bytes];
            for (int i = 0; i < item_count; ++i) {
                HANDLE stream = CreateFileW(streams[i].c_str(), FILE_READ_DATA, FILE_SHARE_READ,
                                            nullptr, OPEN_EXISTING, 0, nullptr);
                DWORD read;
                ReadFile(stream, buffer, sizeof(buffer), &read, nullptr);
                CloseHandle(stream);
            }
        });
    print_ratio("backup_100k", backup.first * 1e3, backup.second * 1e3, "ms", 1.5);
    return 0;
}
