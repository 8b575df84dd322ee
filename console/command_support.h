#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "store/index_records.h"
#include "store/info_holder.h"

// A parsed command line: the command, its operands and its options.
struct command_line {
    std::wstring command;
    std::vector<std::wstring> operands;
    bool tsv = false;
    bool only_missing = false;
    bool recursive = false;
    bool replace = false;
    bool fix = false;
    bool dry_run = false;
    bool shares = false; // whole-index passes open items on shares too
    bool deep = false;   // find reads the streams the keep file does not hold
    bool note = false;   // overlays says only which markers get no slot
    int kind = -1; // -1 when --kind was not given
};

// Exit status: what was asked was done, something was not found or failed,
// the command line was wrong.
enum exit_status { exit_done = 0, exit_failed = 1, exit_usage = 2 };

// Collects the exit status of a command while it goes on with other items.
class command_result {
  public:
    // A one-line message on standard error; the command has failed.
    void fail(const std::string &utf8_message);
    int status() const { return status_; }

  private:
    int status_ = exit_done;
};

void say(const std::string &utf8_line);
void say_error(const std::string &utf8_message);
// A message of the store (several lines, ANSI) as one line.
std::string one_line(const char *ansi_text);

// UTF-8 of a UTF-16 or ANSI path, for messages and output.
std::string shown(const std::wstring &path);
std::string shown_ansi(const std::string &path);

// The full path of an item named on the command line, spelled as the shell
// spells it (drive letter and the names' own case, long names), so it is
// the key the shell's handlers use. False with `problem` set for a path the
// index cannot hold: wildcards, a character the code page lacks, a name
// that is not a plain full path or is too long.
bool item_path_of(const std::wstring &argument, std::wstring &path, std::string &problem);
// A full path as the shell spells it: each existing component in the
// file system's own case and long name, the rest as given.
std::wstring shell_spelling_of(const std::wstring &path);
// shell_spelling_of for many paths: each folder is spelled and listed once,
// so a restore of thousands of items does not search every component of
// every path again.
class path_speller {
  public:
    std::wstring spell(const std::wstring &path);

  private:
    struct folder_names {
        std::wstring spelled;
        std::map<std::wstring, std::wstring> names; // by path_key, long and short names
    };
    std::map<std::wstring, folder_names> folders_;
};
// The same for a folder, which must exist.
bool folder_path_of(const std::wstring &argument, std::wstring &folder, std::string &problem);
// item_path_of and folder_path_of for an operand of the command line; a
// refusal is said on standard error.
bool item_operand(const std::wstring &argument, std::wstring &path);
bool folder_operand(const std::wstring &argument, std::wstring &folder);
// Hands `folder` and every file and folder under it to `found(path,
// is_folder)`. Junctions and links are not followed: they may lead back up.
// A name with a colon is not an item: Wine shows a stream that way.
void walk_folder(const std::wstring &folder,
                 const std::function<void(const std::wstring &, bool)> &found);
// True when `path` lies inside `folder` (compared without regard to case).
bool is_under(const std::wstring &folder, const std::wstring &path);
// The folder part of a path: "C:\" for an item in a drive's root.
std::wstring parent_of(const std::wstring &path);
bool item_exists(const std::wstring &path);
// A path as the file system compares it (without regard to case), for
// finding the same item under two spellings.
std::wstring path_key(const std::wstring &path);
// Orders paths as Explorer's list does, without regard to case.
bool path_less(const std::wstring &a, const std::wstring &b);

// A record of the index with its UTF-16 path.
struct indexed_item {
    std::wstring path;
    CInfoHolder::record_ptr record;
    bool unopened_share = false; // on a share, and --shares was not given: never opened
    bool key_matches = true;     // false: the shell never finds the record
};
// Every record of the index (or those under `folder` when it is not
// empty), ordered by path. A record that names no item by a full path is
// said on standard error, fails the command and is left out, or, when
// `refused` is given, handed to it instead; it is never opened.
std::vector<indexed_item> indexed_items(const std::wstring &folder, bool shares,
                                        command_result &result,
                                        std::vector<checked_record> *refused = nullptr);

// False with ERROR_FILE_TOO_LARGE for a file over `limit` bytes.
bool read_file_bytes(const std::wstring &path, std::string &bytes, DWORD &error,
                     size_t limit = 1u << 30);
// Writes `bytes` to a new file beside `path` and puts it in its place, so
// an earlier file stays whole until the new one is; the earlier file's
// attributes, streams and security go over to it. `attributes` are set on a
// new file.
bool replace_file_bytes(const std::wstring &path, const std::string &bytes, DWORD attributes,
                        DWORD &error);
std::string error_text(DWORD error);

// Line ends as the editor's text box has them: CR LF.
std::string with_crlf(const std::string &text);
