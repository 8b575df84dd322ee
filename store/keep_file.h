#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/keep_records.h"

// This user's keep file, %LOCALAPPDATA%\Quillarvent\keep.dat: per user, so
// a description of a private file never becomes readable by others.
//
// Writes are appends that other processes of the user see at once; a
// named mutex of the user's session orders them with the compaction, which
// puts a new file in the old one's place in one rename. Reading takes no
// turn: a record another process is still appending reads as cut short and
// is read again next time. What was read stays in memory and only the part
// appended since is read on the next question.
class CKeepFile {
  public:
    // The kept state of one path: its records, oldest first, at most the
    // last few of each kind.
    struct kept_path {
        uint32_t key = 0; // path_hash of the path
        std::wstring path;
        std::vector<keep_entry> history;
        // The newest description or removal; null when there is neither.
        const keep_entry *last_change() const;
    };

    CKeepFile() = default;
    CKeepFile(const CKeepFile &) = delete;
    CKeepFile &operator=(const CKeepFile &) = delete;
    ~CKeepFile();

    // The file's path; start-up sets this user's, tests their own. Forgets
    // what was read.
    void set_path(const std::wstring &path);
    std::wstring path() const;
    // The keep file of the process's own user, or empty when the system
    // names no local application data folder.
    static std::wstring default_path();

    // Appends the records; false when the keep file cannot be written
    // (problem() then says why). A description's write never depends on it.
    bool record(const std::vector<keep_entry> &entries);
    bool record(const keep_entry &entry) { return record(std::vector<keep_entry>{entry}); }

    // What the file holds for `path` now. False when nothing is kept.
    bool find(const wchar_t *path, kept_path &kept);
    // Every kept path and the recoveries recorded since the last check.
    // False when the file could not be read at all.
    bool read_all(std::vector<kept_path> &paths, std::vector<keep_entry> *recovered = nullptr);
    // 0, or why the keep file could not be read or written last time.
    DWORD problem() const;
    // Rewrites the file with only the last few records of each path; what
    // was damaged is kept aside first. False when that did not happen.
    bool compact();

  private:
    bool refresh_locked();
    bool load_whole_locked();
    void take_locked(const keep_entry &entry);
    bool open_for_read_locked();
    bool compact_locked();
    HANDLE take_turn() const;
    void forget_locked();

    mutable std::mutex lock_;
    std::wstring path_;
    HANDLE reader_ = INVALID_HANDLE_VALUE;
    uint64_t read_to_ = 0; // bytes of the file taken, header included
    size_t records_read_ = 0;
    bool damaged_ = false;
    std::vector<kept_path> paths_;
    std::unordered_multimap<uint32_t, size_t> by_key_;
    std::vector<keep_entry> recovered_; // since the last check
    DWORD problem_ = ERROR_SUCCESS;
};

// The identity of the item open as `item`, or of the item at `path`.
item_identity identity_of_handle(HANDLE item);
item_identity identity_of_path(const wchar_t *path);
// True when the item now is the one recorded or its replacement: the same
// file ID, the same creation time (a name's creation time passes on to a
// file that takes its place within seconds), or the same size and
// last-write time (a copy).
bool is_same_or_replacement(const item_identity &recorded, const item_identity &now);
// A record of `event` for `path`, made now, in the system code page, with the
// text cut to what the stream holds.
keep_entry keep_entry_of(keep_event event, const wchar_t *path, int32_t icon_kind,
                         const char *text, const item_identity &identity);
// The text of `entry` in the system code page, converted exactly or not at
// all: the user may have changed the code page since it was written.
bool kept_text_in_system_code_page(const keep_entry &entry, std::string &text);
// The current time as a FILETIME count.
uint64_t keep_time_now();

extern CKeepFile keep_file;
