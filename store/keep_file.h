#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <functional>
#include <string_view>
#include <vector>

#include "store/keep_records.h"

// This user's keep file, %LOCALAPPDATA%\Quillarvent\keep.dat: per user, so
// a description of a private file never becomes readable by others.
//
// Writes are appends that other processes of the user see at once; a
// named mutex of the user's session orders them with the compaction, which
// puts a new file in the old one's place. Reading takes no turn: a record
// another process is still appending reads as cut short and is read again
// next time. What was read stays in memory as the file's bytes, with the
// places of each path's last few records, so a hundred thousand kept
// descriptions cost a few allocations, and only what was appended since is
// read on the next question.
class CKeepFile {
  public:
    // The kept state of one path: its records, oldest first, at most the
    // last few.
    struct kept_path {
        uint32_t key = 0; // path_hash of the path
        std::wstring path;
        std::vector<keep_entry> history;
        // The newest description, recovery or removal; null for none.
        const keep_entry *last_change() const;
    };

    // The newest change of one kept path, read in place: valid while the
    // callback of with_latest runs.
    struct latest_view {
        uint32_t key;   // path_hash of the path
        uint64_t print; // path_print of the path
        keep_event event;
        int32_t icon_kind;
        uint32_t code_page;
        std::string_view text;
        const char *path_bytes; // UTF-16, not aligned
        size_t path_units;
        std::wstring path() const;
        // The description it holds in the system code page, in place when
        // it was written in it, else in `converted`; false after a removal,
        // or for a text that has no exact form there.
        bool description(std::string_view &text, std::string &converted) const;
    };
    // The kept paths as read, for a pass over many items at once.
    class contents {
      public:
        size_t size() const;
        latest_view at(size_t n) const;
        // The newest change of the path a record of files.dat names, and
        // its place among at()'s; false when nothing is kept for it.
        bool of(uint32_t key, const std::string &ansi_path, latest_view &view,
                size_t *place = nullptr) const;

      private:
        friend class CKeepFile;
        explicit contents(const CKeepFile &file) : file_(file) {}
        const CKeepFile &file_;
    };

    CKeepFile() = default;
    CKeepFile(const CKeepFile &) = delete;
    CKeepFile &operator=(const CKeepFile &) = delete;
    ~CKeepFile();

    // The file's path; start-up sets this user's, tests their own. Forgets
    // what was read.
    void set_path(const std::wstring &path);
    std::wstring path();
    // The keep file of the process's own user, or empty when the system
    // names no local application data folder.
    static std::wstring default_path();
    // Takes default_path() once the file is first needed: most processes
    // that load the library never write or read a description.
    void use_default_path();

    // Appends the records; false when the keep file cannot be written
    // (problem() then says why). A description's write never depends on it.
    bool record(const std::vector<keep_entry> &entries);
    bool record(const keep_entry &entry) { return record(std::vector<keep_entry>{entry}); }

    // What the file holds for `path` now. False when nothing is kept.
    bool find(const wchar_t *path, kept_path &kept);
    // Every kept path and the recoveries recorded since the last check.
    // False when the file could not be read at all.
    bool read_all(std::vector<kept_path> &paths, std::vector<keep_entry> *recovered = nullptr);
    // The recoveries recorded since the last check.
    bool recoveries(std::vector<keep_entry> &recovered);
    // Runs `use` with what the file holds now, under this object's lock:
    // nothing is copied.
    bool with_latest(const std::function<void(const contents &)> &use);
    // 0, or why the keep file could not be read or written last time.
    DWORD problem() const;
    // Rewrites the file with only the last few records of each path; what
    // was damaged is kept aside first. False when that did not happen.
    bool compact();

  private:
    // The records of a path kept: its newest and a few before it. Older
    // texts are compacted away.
    static constexpr uint32_t kept_records = 4;
    // Where one path's records lie in image_.
    struct path_slot {
        uint32_t key;
        uint64_t print;
        uint32_t path_at; // of its UTF-16 path
        uint32_t path_units;
        uint32_t count;
        uint32_t records[kept_records]; // oldest first
    };

    // path_, found now when use_default_path asked for it.
    const std::wstring &path_locked();
    bool refresh_locked();
    bool refresh_and_compact_locked();
    void take_locked(const keep_record_view &record, size_t at);
    path_slot *slot_of_locked(uint32_t key, const void *path, size_t units);
    void index_slots_locked();
    keep_entry entry_at(uint32_t at) const;
    latest_view view_at(const path_slot &slot, uint32_t at) const;
    kept_path materialize(const path_slot &slot) const;
    bool open_for_read_locked();
    bool compact_locked();
    HANDLE take_turn() const;
    void forget_locked();

    mutable std::mutex lock_;
    std::wstring path_;
    bool default_pending_ = false;
    HANDLE reader_ = INVALID_HANDLE_VALUE;
    std::string image_; // the file's bytes read so far, header included
    size_t records_read_ = 0;
    bool damaged_ = false;
    bool damage_kept_ = false; // a copy of this damaged file lies aside
    std::vector<path_slot> slots_;
    std::vector<uint32_t> table_;     // open addressing over slots_, 1-based
    std::vector<uint32_t> recovered_; // records since the last check
    DWORD problem_ = ERROR_SUCCESS;
};

// A 64-bit hash of a path's UTF-16 units: with its key it names a kept path
// without comparing the two.
class path_print {
  public:
    void add(uint16_t unit) { h_ = (h_ ^ unit) * 0x100000001b3ull; }
    uint64_t value() const { return h_; }

  private:
    uint64_t h_ = 0xcbf29ce484222325ull;
};

// The identity of the item open as `item`, or of the item at `path` (its
// file ID unknown: found without opening it).
item_identity identity_of_handle(HANDLE item);
item_identity identity_of_path(const wchar_t *path);
// True when the item now is the one recorded or its replacement: the same
// creation time (kept by a stream stripped in place, and passed on by the
// file system to a file that takes a name's place within seconds), or the
// same size and last-write time (a copy).
bool is_same_or_replacement(const item_identity &recorded, const item_identity &now);
// A record of `event` for `path`, made now, in the system code page, with the
// text cut to what the stream holds.
keep_entry keep_entry_of(keep_event event, const wchar_t *path, int32_t icon_kind, const char *text,
                         const item_identity &identity);
// The text of `entry` in the system code page, converted exactly or not at
// all: the user may have changed the code page since it was written.
bool kept_text_in_system_code_page(const keep_entry &entry, std::string &text);
// The current time as a FILETIME count.
uint64_t keep_time_now();

extern CKeepFile keep_file;
