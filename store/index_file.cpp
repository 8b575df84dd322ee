#include "store/index_file.h"

#include <boost/make_shared.hpp>

#include <sddl.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cstring>

#include "module/win_handles.h"

namespace {

const DWORD sharing_wait_ms = 1000;

// Processes of this version take their turn at files.dat by a mutex named
// after its path, in the global namespace so that every session of the
// machine shares it. Every user may wait on it and release it, as every
// user may write the file. False when another holds the turn past the wait,
// or the mutex cannot be had at all (one a user made first without access
// for others): without it two processes could each replace the other's
// change, so the index counts as busy.
bool take_index_turn(const std::string &path, DWORD wait_ms, HANDLE &turn) {
    turn = nullptr;
    static PSECURITY_DESCRIPTOR descriptor = [] {
        PSECURITY_DESCRIPTOR made = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;0x100001;;;WD)",
                                                             SDDL_REVISION_1, &made, nullptr);
        return made;
    }();
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : path) {
        h ^= static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        h *= 0x100000001b3ull;
    }
    char name[64];
    wsprintfA(name, "Global\\Quillarvent.files.dat.%08lx%08lx", static_cast<unsigned long>(h >> 32),
              static_cast<unsigned long>(h));
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    HANDLE mutex = CreateMutexExA(descriptor ? &attributes : nullptr, name, 0,
                                  SYNCHRONIZE | MUTEX_MODIFY_STATE);
    if (!mutex)
        return false;
    DWORD waited = WaitForSingleObject(mutex, wait_ms);
    // An abandoned turn is ours: its holder ended, and files.dat was only
    // ever replaced whole.
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        turn = mutex;
        return true;
    }
    CloseHandle(mutex);
    SetLastError(ERROR_SHARING_VIOLATION);
    return false;
}

// A whole marker at `at`, or, at the very end, the first bytes of one: the
// last record's marker may have been cut short.
bool marker_at(const char *data, size_t size, size_t at) {
    uint32_t marker = index_record_marker;
    size_t n = size - at < 4 ? size - at : 4;
    return memcmp(data + at, &marker, n) == 0;
}

size_t next_marker(const char *data, size_t size, size_t from) {
    const unsigned char first = index_record_marker & 0xFF;
    while (from + 4 <= size) {
        const void *hit = memchr(data + from, first, size - from - 3);
        if (!hit)
            return std::string::npos;
        size_t at = static_cast<const char *>(hit) - data;
        uint32_t marker;
        memcpy(&marker, data + at, 4);
        if (marker == index_record_marker)
            return at;
        from = at + 1;
    }
    return std::string::npos;
}

} // namespace

bool walk_index_records(const char *data, size_t size,
                        const std::function<void(const item_info &, size_t offset)> &found) {
    bool clean = true;
    item_info scratch;
    size_t pos = 0;
    while (pos < size) {
        const char *at = data + pos;
        int result = scratch.load_record(at, data + size);
        // A torn record swallows the start of the next one, marker and all,
        // so a record with a marker inside it is no record. One followed by a
        // marker or the end stands; one followed by anything else stands
        // only when it looks like a record this system writes, and the
        // damage is after it.
        size_t next = at - data;
        if (result == 1 && next_marker(data, size, pos + 12) >= next) {
            bool followed = next == size || marker_at(data, size, next);
            if (followed ||
                (scratch.reserved == 0 && scratch.icon_kind >= 0 && scratch.icon_kind <= 5)) {
                found(scratch, pos);
                pos = next;
                if (!followed) {
                    clean = false;
                    pos = next_marker(data, size, next);
                    if (pos == std::string::npos)
                        break;
                }
                continue;
            }
        }
        if (result == 0 && marker_at(data, size, pos))
            break;
        clean = false;
        pos = next_marker(data, size, pos + 1);
        if (pos == std::string::npos)
            break;
    }
    return clean;
}

bool read_index_image(const char *data, size_t size, index_entries &entries) {
    index_entries in_file_order;
    in_file_order.reserve(size / 40);
    bool clean = walk_index_records(data, size, [&](const item_info &record, size_t) {
        // One allocation holds the record and its count, side by side.
        in_file_order.push_back(
            index_entry{record.key, boost::make_shared<const item_info>(record)});
    });
    // Every rewrite leaves the file in key order; only appends need sorting.
    auto by_key = [](const index_entry &a, const index_entry &b) { return a.key < b.key; };
    if (!std::is_sorted(in_file_order.begin(), in_file_order.end(), by_key))
        std::stable_sort(in_file_order.begin(), in_file_order.end(), by_key);
    // Duplicates are merged in place: a second array of an index's size
    // would cost its fresh pages again.
    size_t kept = 0;
    for (size_t i = 0; i < in_file_order.size(); ++i) {
        index_entry &entry = in_file_order[i];
        size_t same = kept;
        for (size_t j = kept; j-- > 0 && in_file_order[j].key == entry.key;)
            if (in_file_order[j].record->path == entry.record->path)
                same = j;
        if (same != kept)
            in_file_order[same].record = std::move(entry.record);
        else
            in_file_order[kept++] = std::move(entry);
    }
    in_file_order.resize(kept);
    entries = std::move(in_file_order);
    return clean;
}

void index_image_of(const index_entries &entries, std::string &image) {
    size_t size = 0;
    for (const index_entry &entry : entries)
        size += entry.record->record_size();
    image.resize(size);
    char *out = &image[0];
    for (size_t i = 0; i < entries.size(); ++i) {
        // The records lie scattered on the heap: ask for the next ones early.
        if (i + 8 < entries.size())
            _mm_prefetch(reinterpret_cast<const char *>(entries[i + 8].record.get()), _MM_HINT_T0);
        if (i + 4 < entries.size())
            _mm_prefetch(entries[i + 4].record->path.data(), _MM_HINT_T0);
        out = entries[i].record->save_record(out);
    }
}

bool keep_damaged_copy(const char *index_path, const std::string &image) {
    // An earlier copy is never overwritten: a later one gets the time in
    // its name.
    std::string bad_path = std::string(index_path) + ".bad";
    ScopedFile bad(CreateFileA(bad_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!bad.valid() && GetLastError() == ERROR_FILE_EXISTS) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        char suffix[32];
        wsprintfA(suffix, ".bad-%08lx%08lx", now.dwHighDateTime, now.dwLowDateTime);
        bad.reset(CreateFileA((std::string(index_path) + suffix).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    DWORD written = 0;
    return bad.valid() &&
           (image.empty() || (WriteFile(bad.get(), image.data(), static_cast<DWORD>(image.size()),
                                        &written, nullptr) &&
                              written == image.size()));
}

CIndexFile::~CIndexFile() {
    close();
}

void CIndexFile::close() {
    if (file_ != INVALID_HANDLE_VALUE)
        CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    if (turn_) {
        ReleaseMutex(turn_);
        CloseHandle(turn_);
        turn_ = nullptr;
    }
}

bool CIndexFile::open_file(DWORD disposition, DWORD start) {
    for (;;) {
        // Sharing deletion only: the held file can be renamed away by this
        // process, while an older version's open, which shares nothing,
        // still fails.
        file_ = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                            nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        if (file_ != INVALID_HANDLE_VALUE)
            return true;
        bool passing = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
        if (!passing || GetTickCount() - start >= sharing_wait_ms) {
            SetLastError(error);
            return false;
        }
        Sleep(2);
    }
}

bool CIndexFile::open(const char *path, DWORD disposition) {
    close();
    if (!path || !path[0]) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    path_ = path;
    written_ = false;
    replaced_ = false;
    DWORD start = GetTickCount();
    // With the turn no other process of this version is between renaming
    // the old file away and putting the new one in its place, so files.dat
    // is never seen missing for that instant.
    if (!take_index_turn(path_, sharing_wait_ms, turn_))
        return false;
    if (!open_file(disposition, start)) {
        DWORD error = GetLastError();
        close();
        SetLastError(error);
        return false;
    }
    index_stamp stamp;
    if (current(stamp)) {
        opened_time_ = stamp.written;
        opened_size_ = stamp.size;
    }
    return true;
}

bool CIndexFile::current(index_stamp &stamp) const {
    LARGE_INTEGER size;
    if (file_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(file_, &size) ||
        !GetFileTime(file_, nullptr, nullptr, &stamp.written)) {
        stamp.size = -1;
        return false;
    }
    stamp.size = size.QuadPart;
    return true;
}

bool CIndexFile::is_as_left(const index_stamp &stamp) const {
    index_stamp now;
    return stamp.size >= 0 && current(now) && now.size == stamp.size &&
           CompareFileTime(&now.written, &stamp.written) == 0;
}

bool CIndexFile::read(std::string &image) const {
    LARGE_INTEGER size, zero = {};
    if (file_ == INVALID_HANDLE_VALUE || !GetFileSizeEx(file_, &size) ||
        size.QuadPart > 0x7fffffff || !SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN))
        return false;
    image.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < image.size()) {
        DWORD n = 0;
        if (!ReadFile(file_, &image[done], static_cast<DWORD>(image.size() - done), &n, nullptr) ||
            n == 0)
            return false;
        done += n;
    }
    return true;
}

bool CIndexFile::append(const std::string &bytes) {
    LARGE_INTEGER zero = {};
    DWORD written = 0;
    written_ = true;
    return file_ != INVALID_HANDLE_VALUE && SetFilePointerEx(file_, zero, nullptr, FILE_END) &&
           WriteFile(file_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

FILETIME CIndexFile::later_time() const {
    // Every write gets a time after the one of the file it changed, so two
    // changes of the same size never look alike.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (CompareFileTime(&now, &opened_time_) <= 0) {
        ULARGE_INTEGER later;
        later.LowPart = opened_time_.dwLowDateTime;
        later.HighPart = opened_time_.dwHighDateTime;
        ++later.QuadPart;
        now.dwLowDateTime = later.LowPart;
        now.dwHighDateTime = later.HighPart;
    }
    return now;
}

// A name no one else uses beside files.dat, made new with `suffix`: a file
// or link planted under a fixed name would be written through.
HANDLE CIndexFile::create_beside(const char *suffix, DWORD access, std::string &name) const {
    static LONG counter = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char unique[48];
        wsprintfA(unique, "%s%08lx%08lx", suffix, GetCurrentProcessId(),
                  static_cast<unsigned long>(InterlockedIncrement(&counter) ^ GetTickCount()));
        name = path_ + unique;
        HANDLE file = CreateFileA(name.c_str(), access, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return file;
    }
    return INVALID_HANDLE_VALUE;
}

void CIndexFile::remove_stale_copies() const {
    // Called with the turn: no other process of this version is between
    // writing its new file and putting it in place, so every new or old copy
    // left is one a killed process left.
    size_t slash = path_.find_last_of('\\');
    std::string folder = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    for (const char *pattern : {".new-*", ".old-*"}) {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((path_ + pattern).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileA((folder + found.cFileName).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
}

bool CIndexFile::replace(const std::string &image) {
    if (file_ == INVALID_HANDLE_VALUE)
        return false;
    remove_stale_copies();
    std::string temporary;
    ScopedFile fresh(create_beside(".new-", GENERIC_WRITE, temporary));
    if (!fresh.valid())
        return false;
    size_t done = 0;
    while (done < image.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(image.size() - done, 1u << 24));
        DWORD written = 0;
        if (!WriteFile(fresh.get(), image.data() + done, chunk, &written, nullptr) || !written)
            break;
        done += written;
    }
    FILETIME stamp_time = later_time();
    bool whole = done == image.size() && FlushFileBuffers(fresh.get()) &&
                 SetFileTime(fresh.get(), nullptr, nullptr, &stamp_time);
    fresh.reset();
    if (!whole) {
        DeleteFileA(temporary.c_str());
        return false;
    }
    // The old file is renamed away while it is still held, so that no older
    // version, which opens it without sharing, can write to it between the
    // moment it is let go and the moment it is replaced: that write would
    // be lost with it. For the instant between the two renames files.dat
    // is missing, which an older version takes as a failed open.
    std::string old_name;
    bool moved_away = false, moved = false, old_kept = false;
    if (HANDLE placeholder = create_beside(".old-", GENERIC_WRITE, old_name);
        placeholder != INVALID_HANDLE_VALUE) {
        CloseHandle(placeholder);
        moved_away = MoveFileExA(path_.c_str(), old_name.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    if (moved_away) {
        moved = MoveFileExA(temporary.c_str(), path_.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        // Put back; should even that fail, the only copy is not deleted.
        old_kept = !moved && !MoveFileExA(old_name.c_str(), path_.c_str(), 0);
    }
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    // A file system that cannot rename a held file: the old one is let go
    // first, and a short wait covers an older version holding it.
    DWORD start = GetTickCount();
    while (!moved_away && !(moved = MoveFileExA(temporary.c_str(), path_.c_str(),
                                                MOVEFILE_REPLACE_EXISTING |
                                                    MOVEFILE_WRITE_THROUGH) != 0) &&
           GetTickCount() - start < sharing_wait_ms)
        Sleep(2);
    if (!old_name.empty() && !old_kept)
        DeleteFileA(old_name.c_str());
    if (!moved)
        DeleteFileA(temporary.c_str());
    // Held again, as before the write, until the caller is done.
    open_file(OPEN_EXISTING, GetTickCount());
    if (moved) {
        opened_time_ = stamp_time;
        written_ = false;
        expected_.size = static_cast<LONGLONG>(image.size());
        expected_.written = stamp_time;
        replaced_ = true;
    }
    return moved;
}

index_stamp CIndexFile::leave() {
    if (written_) {
        FILETIME now = later_time();
        SetFileTime(file_, nullptr, nullptr, &now);
    }
    index_stamp stamp;
    current(stamp);
    // Another version may have written to the new file before it was held
    // again: then it is not as this process left it, and is read next time.
    if (replaced_ && (stamp.size != expected_.size ||
                      CompareFileTime(&stamp.written, &expected_.written) != 0))
        return index_stamp();
    return stamp;
}
