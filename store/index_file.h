#pragma once

#include <windows.h>

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/item_info.h"

// files.dat: a plain sequence of index records with no header, shared by
// every process of the machine. This unit knows its format, how a damaged
// image is read, and how one process changes it without undoing what other
// processes wrote.

struct index_entry {
    uint32_t key;
    boost::shared_ptr<const item_info> record;
};
// Entries in ascending key order; entries of one key keep the order in which
// they were entered.
typedef std::vector<index_entry> index_entries;

// Walks the index records of an image in file order, handing each to
// `found` with its offset. A record counts only when a marker or the end of
// the image follows it. A damaged stretch (a torn append, a wrong marker, a
// path of 260 bytes or more) is skipped up to the next marker from which a
// whole record reads, so one bad record never costs the ones after it. False
// when damage was met; 1 to 3 bytes left at the end are a clean end. Reads
// nothing outside the `size` bytes.
bool walk_index_records(const char *data, size_t size,
                        const std::function<void(const item_info &, size_t offset)> &found);

// The records of an image in key order; of several records of one path the
// last in the file wins, in the place of the first. False when damage was
// met.
bool read_index_image(const char *data, size_t size, index_entries &entries);

// The image of `entries`, written into `image`, whose memory is reused: a
// fresh buffer of an index's size costs more in page faults than the writing.
void index_image_of(const index_entries &entries, std::string &image);

// Keeps a damaged image beside files.dat as files.dat.bad, so what could not
// be read can still be recovered by hand. False when the copy failed.
bool keep_damaged_copy(const char *index_path, const std::string &image);

// Size and last write time of files.dat as a process last left it. Every
// write sets a write time later than the one before, so two changes of the
// same size never look alike, however close together they come.
struct index_stamp {
    LONGLONG size = -1;
    FILETIME written = {};
};

// files.dat held for one read, merge and write. Processes of this version
// take their turn by a named mutex, so the file is never held across a
// replace; the file is also opened without sharing, which keeps out older
// versions that know only that.
class CIndexFile {
  public:
    CIndexFile() = default;
    CIndexFile(const CIndexFile &) = delete;
    CIndexFile &operator=(const CIndexFile &) = delete;
    ~CIndexFile();

    // Another process may hold the file or the turn for a moment: either is
    // waited out for a while before the open counts as failed.
    bool open(const char *path, DWORD disposition);
    void close();
    bool is_as_left(const index_stamp &stamp) const;
    bool read(std::string &image) const;
    // Appends in place: a torn append costs only the record being added.
    bool append(const std::string &bytes);
    // Writes `image` to a new file beside files.dat, flushes it and puts it
    // in the old one's place: a process killed or a disk that fills halfway
    // leaves the old file whole. Copies a killed process left are removed.
    bool replace(const std::string &image);
    // The stamp of the file now, after giving it a write time of its own
    // when it was written.
    index_stamp leave();
    LONGLONG size_when_opened() const { return opened_size_; }

  private:
    bool current(index_stamp &stamp) const;
    bool open_file(DWORD disposition, DWORD deadline_start);
    FILETIME later_time() const;
    HANDLE create_beside(const char *suffix, DWORD access, std::string &name) const;
    void remove_stale_copies() const;

    std::string path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE turn_ = nullptr; // the named mutex, owned while the file is held
    bool written_ = false;
    bool replaced_ = false;
    index_stamp expected_; // the new file's, once replaced
    FILETIME opened_time_ = {};
    LONGLONG opened_size_ = 0;
};
