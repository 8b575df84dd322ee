#pragma once

#include <windows.h>

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/item_info.h"
#include "store/path_id_set.h"
#include "store/reader_writer_lock.h"

// The index of described items: which paths carry a description and with
// which marker, answered from memory, and kept in files.dat for every process
// of the machine.
//
// One reader/writer lock guards the map and the index file: lookups share it,
// changes hold it alone. Stream I/O and message boxes happen outside it, so a
// slow item or a user who leaves a message open never stalls other threads.
class CInfoHolder {
  public:
    typedef boost::shared_ptr<const item_info> record_ptr;

    enum class entry_state { unknown, not_described, described };

    CInfoHolder();
    CInfoHolder(const CInfoHolder &) = delete;
    CInfoHolder &operator=(const CInfoHolder &) = delete;

    // What the index knows of `path`, without touching the item; `record`
    // receives the record when there is one.
    entry_state lookup(const wchar_t *path, record_ptr *record = nullptr) const;
    // The same, with only the marker kind of a described item: no record
    // changes hands, so the shell's many overlay questions share nothing.
    entry_state lookup_icon_kind(const wchar_t *path, int32_t &icon_kind) const;

    void load_index();
    void save_index();
    // 0 done; 1 stored, but the index file could not be opened and the user
    // was told; otherwise the stream write's system error code.
    DWORD add_description(const wchar_t *path, int32_t icon_kind, const char *text);
    void remove_description(const wchar_t *path);
    // True when the item has a record and its stream opened (text may be
    // empty). An item or stream that is gone for good leaves the index.
    bool get_description(const wchar_t *path, std::string &text);
    int32_t get_icon_kind(const wchar_t *path) const;
    // The n-th record in ascending key order; null past the end.
    record_ptr item_at(long n) const;
    void mark_not_described(const wchar_t *path);

  private:
    enum class config_problem { none, append, rewrite };

    struct entry {
        uint32_t key;
        record_ptr record;
    };
    typedef std::vector<entry> entry_list;

    // Finds `path` under the shared lock and hands its record to `found`.
    template <typename Found> entry_state look_up(const wchar_t *path, Found &&found) const;
    entry_list::const_iterator first_of_key(uint32_t key) const;
    entry_list::const_iterator find_record(uint32_t key, const std::string &ansi_path) const;
    entry_list::const_iterator find_record(uint32_t key, const wchar_t *path) const;
    void insert_record(const record_ptr &record);
    void give_up(entry_list::const_iterator held);
    config_problem save_index_locked();
    config_problem append_locked(const item_info &record);
    bool keep_foreign(const item_info &record) const;
    bool file_is_as_left(HANDLE file) const;
    void remember_file(HANDLE file);
    // Shows the configuration message once per process; true if shown now.
    bool report(config_problem problem);

    mutable CReaderWriterLock lock_;
    // Records in ascending key order; records whose paths share a key stay
    // side by side in the order they were entered. A sorted array: lookups
    // are a binary search, and the n-th record is found at once.
    entry_list items;
    std::vector<uint32_t> item_keys; // the keys of `items`, index for index
    // Paths known to carry no description, by a 64-bit hash of the path
    // independent of its key, so a million of them stay small.
    path_id_set not_described;
    // Records this process removed or dropped: a rewrite of files.dat must
    // not bring them back, while records appended by other processes stay.
    std::set<std::pair<uint32_t, std::string>> given_up;
    // Size and write time of files.dat as this process last left it; while
    // they hold, no other process has appended anything.
    LARGE_INTEGER left_size;
    FILETIME left_time;
    std::atomic<bool> config_error_shown;
};

extern CInfoHolder info_holder;
