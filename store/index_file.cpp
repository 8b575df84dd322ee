#include "store/index_file.h"

#include <boost/make_shared.hpp>

#include <xmmintrin.h>

#include <algorithm>
#include <cstring>

#include "module/win_handles.h"

namespace {

const DWORD sharing_wait_ms = 1000;

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
    entries.clear();
    entries.reserve(in_file_order.size());
    for (auto &entry : in_file_order) {
        auto same = entries.end();
        for (auto it = entries.rbegin(); it != entries.rend() && it->key == entry.key; ++it)
            if (it->record->path == entry.record->path)
                same = it.base() - 1;
        if (same != entries.end())
            same->record = std::move(entry.record);
        else
            entries.push_back(std::move(entry));
    }
    return clean;
}

std::string index_image_of(const index_entries &entries, size_t expected_size) {
    std::string image;
    image.reserve(expected_size + entries.size() * 8);
    for (size_t i = 0; i < entries.size(); ++i) {
        // The records lie scattered on the heap: ask for the next ones early.
        if (i + 8 < entries.size())
            _mm_prefetch(reinterpret_cast<const char *>(entries[i + 8].record.get()), _MM_HINT_T0);
        if (i + 4 < entries.size())
            _mm_prefetch(entries[i + 4].record->path.data(), _MM_HINT_T0);
        entries[i].record->save_record(image);
    }
    return image;
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
}

bool CIndexFile::open(const char *path, DWORD disposition) {
    if (!path || !path[0]) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    DWORD start = GetTickCount();
    for (;;) {
        file_ = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        if (file_ != INVALID_HANDLE_VALUE) {
            index_stamp stamp;
            if (current(stamp)) {
                opened_time_ = stamp.written;
                opened_size_ = stamp.size;
            }
            return true;
        }
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
            GetTickCount() - start >= sharing_wait_ms)
            return false;
        Sleep(2);
    }
}

bool CIndexFile::current(index_stamp &stamp) const {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_, &size) || !GetFileTime(file_, nullptr, nullptr, &stamp.written)) {
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
    if (!GetFileSizeEx(file_, &size) || size.QuadPart > 0x7fffffff ||
        !SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN))
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
    return SetFilePointerEx(file_, zero, nullptr, FILE_END) &&
           WriteFile(file_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool CIndexFile::write_over(const std::string &image) {
    LARGE_INTEGER zero = {};
    DWORD written = 0;
    written_ = true;
    return SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN) &&
           (image.empty() ||
            (WriteFile(file_, image.data(), static_cast<DWORD>(image.size()), &written, nullptr) &&
             written == image.size())) &&
           SetEndOfFile(file_);
}

index_stamp CIndexFile::leave() {
    if (written_) {
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
        SetFileTime(file_, nullptr, nullptr, &now);
    }
    index_stamp stamp;
    current(stamp);
    return stamp;
}
