#pragma once

#include <windows.h>

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <mutex>
#include <cstdint>
#include <string>
#include <vector>

#include "store/index_file.h"
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
//
// files.dat is the record all processes share. A change is written into the
// file as it stands when the change is made: records other processes wrote
// meanwhile stay, and this process's view of the file is brought up to date
// at the same time. A change whose write failed is kept and written with the
// next one.
class CInfoHolder {
  public:
    typedef boost::shared_ptr<const item_info> record_ptr;

    enum class entry_state { unknown, not_described, described };

    // One node of the folder tree of described items: a drive, a folder or
    // the last component of a described path. A node shares its record, so
    // a tree built earlier still names the record it was built from after
    // the index dropped it.
    struct item_tree {
        std::string name;
        std::vector<boost::shared_ptr<item_tree>> children; // in the order they were added
        record_ptr item; // null for the root and for folders only on the way
    };
    typedef boost::shared_ptr<const item_tree> tree_ptr;

    CInfoHolder();
    CInfoHolder(const CInfoHolder &) = delete;
    CInfoHolder &operator=(const CInfoHolder &) = delete;

    // What the index knows of `path`, without touching the item; `record`
    // receives the record when there is one.
    entry_state lookup(const wchar_t *path, record_ptr *record = nullptr) const;
    // The same, with only the marker kind of a described item: no record
    // changes hands, so the shell's many overlay questions share nothing.
    entry_state lookup_icon_kind(const wchar_t *path, int32_t &icon_kind) const;

    // Reads files.dat into the index. 0, or why the file could not be read
    // (the index then stays as it was); the shell starts quietly either way.
    DWORD load_index();
    void save_index();
    // 0 done; 1 stored, but the index file could not be opened and the user
    // was told; otherwise a system error code: the stream write's, or
    // ERROR_INVALID_NAME for a path without an exact ANSI form and
    // ERROR_FILENAME_EXCED_RANGE for one of 260 bytes or more, which files.dat
    // cannot hold. A refused path is not touched.
    DWORD add_description(const wchar_t *path, int32_t icon_kind, const char *text);
    // add_description for many items, with one update of files.dat. Each
    // stream is written unless it holds the description already, or holds
    // a text and `keep_text` is set (see item_info::merge_description); an
    // item whose stream keeps its description is entered as it is. Returns
    // each item's code as add_description would (1 for each stored item
    // when files.dat could not be opened and the user was told) and what was
    // done; a failed item changes nothing.
    struct new_description {
        std::wstring path;
        int32_t icon_kind;
        std::string text;
        bool keep_text = false;
        bool keep_kind = false;
    };
    struct batch_result {
        DWORD code;
        item_info::merge_outcome outcome;
    };
    std::vector<batch_result> add_descriptions(const std::vector<new_description> &batch);
    // Enters an item found carrying a stream of `icon_kind`, without writing
    // to the stream: when a save entered the item meanwhile, its record and
    // kind stand. Codes as add_description.
    DWORD enter_described(const wchar_t *path, int32_t icon_kind);
    // 0 when the item carries no description afterwards; else the error
    // that kept its stream, and the record stays.
    DWORD remove_description(const wchar_t *path);
    // True when the item has a record and its stream opened (text may be
    // empty). An item or stream that is gone for good leaves the index; a
    // stream holding another kind than the record corrects the record.
    bool get_description(const wchar_t *path, std::string &text);
    // What recover_description did.
    enum class recovery {
        nothing_kept,  // no description of this path is kept, or it was removed
        recovered,     // the kept description is the item's again
        item_replaced, // an unrelated item has the name: nothing written
        failed,        // the item could not be written, or carries a stream again
    };
    // Writes this user's kept description of `path` back into its item
    // when a program dropped the stream, if the item is the one it was
    // written to or its replacement (any item with `any_item`), and enters
    // the item in the index. `text` and `kind` (may be null) receive what
    // was written.
    recovery recover_description(const wchar_t *path, bool any_item, std::string *text = nullptr,
                                 int32_t *kind = nullptr);
    // False while a change of this process is not in files.dat (it is
    // written with the next one): a program that ends now loses it.
    bool all_written() const;
    // Drops `record` from the index and files.dat without opening anything:
    // for a record that names no item the store may open, or one under a
    // key the shell never looks up.
    void forget_record(const record_ptr &record);
    int32_t get_icon_kind(const wchar_t *path) const;
    // The n-th record in ascending key order; null past the end.
    record_ptr item_at(long n) const;
    // Every record in ascending key order, as one consistent view.
    std::vector<record_ptr> records() const;
    // Builds the folder tree of the records as they stand now and returns
    // its root; the caller holds it for as long as it shows it.
    tree_ptr build_tree() const;
    // Remembers that a path the index does not know carries no description.
    // A record is never dropped by it.
    void mark_not_described(const wchar_t *path);

    // A change of this process not yet in files.dat; a null record is a
    // removal.
    struct change {
        uint32_t key;
        std::string path;
        record_ptr record;
    };

  private:
    enum class config_problem { none, append, rewrite };

    // What a change learns of files.dat before it takes the lock. The file
    // is opened first, so that a program holding it for a while stalls no
    // lookup of this process, and what another process wrote is read, and
    // the items it concerns looked at, while lookups go on.
    struct index_access {
        std::unique_lock<std::mutex> turn; // released after the file is closed
        CIndexFile file;
        bool opened = false;
        DWORD open_error = ERROR_SUCCESS;
        bool as_left = false; // no other process changed the file since
        bool read = false;    // `current` holds the file's content
        bool clean = true;
        std::string image;
        index_entries current;
        std::vector<change> described_again; // removed here, described anew elsewhere

        // Before a message box or the registration program: others wait on
        // the file and the turn.
        void release() {
            file.close();
            if (turn.owns_lock())
                turn.unlock();
        }
    };

    // Finds `path` under the shared lock and hands its record to `found`.
    template <typename Found> entry_state look_up(const wchar_t *path, Found &&found) const;
    // The entry of `key` whose path `same` accepts, by one probe of slots_.
    template <typename Same>
    index_entries::const_iterator probe(uint32_t key, Same &&same) const;
    size_t slot_of(uint32_t key) const;
    // Makes slots_ anew after entries moved.
    void index_slots();
    // Puts `record` in the place of the entry `held`, of the same path.
    void replace_record(index_entries::const_iterator held, const record_ptr &record);
    index_entries::const_iterator find_record(uint32_t key, const std::string &ansi_path) const;
    index_entries::const_iterator find_record(uint32_t key, const wchar_t *path) const;
    void insert_record(const record_ptr &record);
    // Enters records none of which the index holds, by one merge.
    void insert_records(std::vector<record_ptr> &&records);
    void erase_record(index_entries::const_iterator held);
    void set_items(index_entries &&entries);
    void note_change(uint32_t key, const std::string &path, const record_ptr &record);
    // note_change for many records of distinct paths.
    void note_changes(const std::vector<record_ptr> &records);
    // The stream of `record` holds `stream_kind`: the record takes it.
    void correct_kind(const record_ptr &record, int32_t stream_kind);
    DWORD enter_record(const wchar_t *path, int32_t icon_kind, bool keep);
    void apply_changes(index_entries &entries, const std::vector<change> &described_again) const;
    void open_index(index_access &access, DWORD disposition) const;
    // Writes this process's changes into files.dat, under the exclusive
    // lock: `appended` alone at the end when it is the only change and the
    // file is as this process left it, else by a rewrite.
    config_problem sync_locked(index_access &access, const item_info *appended, bool may_append);
    // Shows the configuration message once per process; true if shown now.
    bool report(config_problem problem);

    mutable CReaderWriterLock lock_;
    // One writer of files.dat at a time in this process, taken before the
    // file is opened and never while lock_ is held.
    mutable std::mutex writer_turn_;
    // Records in ascending key order; records whose paths share a key stay
    // side by side in the order they were entered. A sorted array, so the
    // n-th record is found at once.
    index_entries items;
    // An open-addressing table over `items` by key. A slot holds the path of
    // its record (which never changes once shared), so a question of the
    // shell is one probe and one compare, with no detour through the
    // record. An empty slot has no path.
    struct slot {
        uint32_t key = 0;
        uint32_t index = 0;
        const char *path = nullptr;
    };
    std::vector<slot> slots_;
    unsigned slot_shift_ = 28;
    // Paths known to carry no description, by a 64-bit hash of the UTF-16
    // path independent of its key, so a million of them stay small.
    path_id_set not_described;
    std::vector<change> unwritten;
    // The bytes of the last rewrite, kept for the next one; written only
    // under the exclusive lock.
    std::string image_buffer_;
    // files.dat as this process last read or wrote it; while it holds, no
    // other process has changed the file and `items` is its content.
    index_stamp left_;
    std::atomic<bool> config_error_shown;
};

// The folder tree of `records` (in their order): one node per path
// component, a leaf per record; a path ending with a backslash gets no
// leaf. Children keep the order they were first seen in.
CInfoHolder::tree_ptr build_item_tree(const std::vector<CInfoHolder::record_ptr> &records);

extern CInfoHolder info_holder;
