#include "store/info_holder.h"

#include <boost/make_shared.hpp>

#include <xmmintrin.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "module/module_start_up.h"
#include "module/win_handles.h"
#include "store/info_tip_registration.h"

CInfoHolder info_holder;

namespace {

const char missing_config_text[] = "Not found config file , reinstall Quillarvent please";
const char append_denied_text[] = "Can't get access to configuration file , may be you are not "
                                  "authorized user,\t\t\t\t\totherwise reinstall Quillarvent";
const char rewrite_denied_text[] = "Can't get access to configuration file , may be you are not "
                                   "authorized user,\t\t\t\t\t\t\totherwise reinstall Quillarvent";

const uint64_t fnv_offset = 0xcbf29ce484222325ull;
const uint64_t fnv_prime = 0x100000001b3ull;

uint64_t fnv_bytes(const char *bytes, size_t n) {
    uint64_t h = fnv_offset;
    for (size_t i = 0; i < n; ++i) {
        h ^= static_cast<unsigned char>(bytes[i]);
        h *= fnv_prime;
    }
    return h;
}

// Compares a stored ANSI path with a UTF-16 one. ASCII is the same in every
// ANSI code page, so only paths with other characters need a conversion.
bool same_path(const std::string &ansi, const wchar_t *wide) {
    size_t i = 0;
    for (; wide[i]; ++i) {
        if (wide[i] >= 0x80)
            return ansi == to_ansi(wide);
        if (i >= ansi.size() || static_cast<unsigned char>(ansi[i]) != wide[i])
            return false;
    }
    return i == ansi.size();
}

// Another process may hold files.dat for a moment; wait a little for it
// before the open counts as failed.
HANDLE open_index_file(DWORD access, DWORD disposition) {
    if (!index_path[0]) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE file = CreateFileA(index_path, access, 0, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        if (file != INVALID_HANDLE_VALUE ||
            (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
            GetTickCount() - start >= 200)
            return file;
        Sleep(5);
    }
}

bool read_all(HANDLE file, std::string &bytes) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart > 0x7fffffff)
        return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        if (!ReadFile(file, &bytes[done], static_cast<DWORD>(bytes.size() - done), &n, nullptr) ||
            n == 0)
            return false;
        done += n;
    }
    return true;
}

bool write_all(HANDLE file, const std::string &bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// The root of a drive or share path, or empty when the path has neither.
std::string root_of(const std::string &path) {
    if (path.size() >= 3 && path[1] == ':' && path[2] == '\\')
        return path.substr(0, 3);
    if (path.compare(0, 2, "\\\\") == 0) {
        size_t server_end = path.find('\\', 2);
        if (server_end == std::string::npos)
            return std::string();
        size_t share_end = path.find('\\', server_end + 1);
        return share_end == std::string::npos ? path + "\\" : path.substr(0, share_end + 1);
    }
    return std::string();
}

// Only a missing item or stream on a volume that answers means the
// description is gone; anything else may pass.
bool is_gone_for_good(DWORD code, const std::string &path) {
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND)
        return false;
    std::string root = root_of(path);
    return !root.empty() && GetFileAttributesA(root.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A 64-bit hash of a path's ANSI bytes, independent of path_hash, that
// names a negative entry. An ASCII path needs no conversion to get it.
uint64_t path_id(const std::string &ansi_path) {
    return fnv_bytes(ansi_path.data(), ansi_path.size());
}

uint64_t path_id(const wchar_t *path) {
    uint64_t h = fnv_offset;
    for (const wchar_t *c = path; *c; ++c) {
        if (*c >= 0x80)
            return path_id(to_ansi(path));
        h ^= static_cast<uint64_t>(*c);
        h *= fnv_prime;
    }
    return h;
}

} // namespace

CInfoHolder::CInfoHolder() : left_size(), left_time(), config_error_shown(false) {}

CInfoHolder::entry_list::const_iterator CInfoHolder::first_of_key(uint32_t key) const {
    // The keys alone are searched: a sixth of the memory of the entries.
    return items.begin() +
           (std::lower_bound(item_keys.begin(), item_keys.end(), key) - item_keys.begin());
}

CInfoHolder::entry_list::const_iterator
CInfoHolder::find_record(uint32_t key, const std::string &ansi_path) const {
    auto it = first_of_key(key);
    for (; it != items.end() && it->key == key; ++it)
        if (it->record->path == ansi_path)
            return it;
    return items.end();
}

CInfoHolder::entry_list::const_iterator CInfoHolder::find_record(uint32_t key,
                                                                 const wchar_t *path) const {
    for (auto it = first_of_key(key); it != items.end() && it->key == key; ++it)
        if (same_path(it->record->path, path))
            return it;
    return items.end();
}

void CInfoHolder::insert_record(const record_ptr &record) {
    // After every entry of the same key: ties keep the order entered.
    auto at = std::upper_bound(item_keys.begin(), item_keys.end(), record->key);
    items.insert(items.begin() + (at - item_keys.begin()), entry{record->key, record});
    item_keys.insert(at, record->key);
}

void CInfoHolder::give_up(entry_list::const_iterator held) {
    given_up.emplace(held->key, held->record->path);
    item_keys.erase(item_keys.begin() + (held - items.begin()));
    items.erase(held);
}

template <typename Found>
CInfoHolder::entry_state CInfoHolder::look_up(const wchar_t *path, Found &&found) const {
    if (!path)
        return entry_state::unknown;
    uint32_t key = path_hash(path);
    SharedLock lock(lock_);
    auto held = find_record(key, path);
    if (held != items.end()) {
        found(held->record);
        return entry_state::described;
    }
    return !not_described.empty() && not_described.contains(path_id(path))
               ? entry_state::not_described
               : entry_state::unknown;
}

CInfoHolder::entry_state CInfoHolder::lookup(const wchar_t *path, record_ptr *record) const {
    if (record)
        record->reset();
    return look_up(path, [&](const record_ptr &held) {
        if (record)
            *record = held;
    });
}

CInfoHolder::entry_state CInfoHolder::lookup_icon_kind(const wchar_t *path,
                                                       int32_t &icon_kind) const {
    return look_up(path, [&](const record_ptr &held) { icon_kind = held->icon_kind; });
}

bool CInfoHolder::keep_foreign(const item_info &record) const {
    return find_record(record.key, record.path) == items.end() &&
           !given_up.count(std::make_pair(record.key, record.path));
}

bool CInfoHolder::file_is_as_left(HANDLE file) const {
    LARGE_INTEGER size;
    FILETIME written;
    return GetFileSizeEx(file, &size) && GetFileTime(file, nullptr, nullptr, &written) &&
           size.QuadPart == left_size.QuadPart && CompareFileTime(&written, &left_time) == 0;
}

void CInfoHolder::remember_file(HANDLE file) {
    if (!GetFileSizeEx(file, &left_size) || !GetFileTime(file, nullptr, nullptr, &left_time))
        left_size.QuadPart = -1;
}

void CInfoHolder::load_index() {
    config_problem problem = config_problem::none;
    {
        ExclusiveLock lock(lock_);
        std::string bytes;
        {
            ScopedFile file(open_index_file(GENERIC_READ, OPEN_EXISTING));
            if (!file.valid() || !read_all(file.get(), bytes))
                return;
            remember_file(file.get());
        }
        const char *pos = bytes.data();
        const char *end = pos + bytes.size();
        entry_list loaded;
        loaded.reserve(items.size() + bytes.size() / 40);
        loaded.insert(loaded.end(), items.begin(), items.end());
        item_info scratch;
        int result;
        while ((result = scratch.load_record(pos, end)) == 1) {
            loaded.push_back(entry{scratch.key, boost::make_shared<const item_info>(scratch)});
        }
        // Every rewrite leaves the file in key order; only appends need sorting.
        auto by_key = [](const entry &a, const entry &b) { return a.key < b.key; };
        if (!std::is_sorted(loaded.begin(), loaded.end(), by_key))
            std::stable_sort(loaded.begin(), loaded.end(), by_key);
        // The later record of one path wins, in the place of the first.
        items.clear();
        items.reserve(loaded.size());
        for (auto &e : loaded) {
            auto same = items.end();
            for (auto it = items.rbegin(); it != items.rend() && it->key == e.key; ++it)
                if (it->record->path == e.record->path)
                    same = it.base() - 1;
            if (same != items.end())
                same->record = e.record;
            else
                items.push_back(std::move(e));
        }
        item_keys.clear();
        item_keys.reserve(items.size());
        for (const auto &e : items)
            item_keys.push_back(e.key);
        if (result == -1) {
            // Keep the damaged file, so the records after the damage can
            // still be recovered by hand.
            std::string bad_path = std::string(index_path) + ".bad";
            ScopedFile bad(CreateFileA(bad_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
            if (bad.valid())
                write_all(bad.get(), bytes);
            problem = save_index_locked();
        }
    }
    report(problem);
}

void CInfoHolder::save_index() {
    config_problem problem;
    {
        ExclusiveLock lock(lock_);
        problem = save_index_locked();
    }
    report(problem);
}

CInfoHolder::config_problem CInfoHolder::save_index_locked() {
    ScopedFile file(open_index_file(GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS));
    if (!file.valid())
        return config_problem::rewrite;

    // Records other processes appended since this one last wrote stay.
    std::vector<std::pair<uint32_t, std::string>> foreign;
    std::string current;
    if (!file_is_as_left(file.get()) && read_all(file.get(), current)) {
        const char *pos = current.data();
        const char *end = pos + current.size();
        const char *start = pos;
        item_info scratch;
        while (scratch.load_record(pos, end) == 1) {
            if (keep_foreign(scratch))
                foreign.emplace_back(scratch.key, std::string(start, pos));
            start = pos;
        }
        std::stable_sort(foreign.begin(), foreign.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
    }

    std::string bytes;
    bytes.reserve(static_cast<size_t>(left_size.QuadPart > 0 ? left_size.QuadPart : 0) +
                  items.size() * 64);
    auto next_foreign = foreign.begin();
    for (size_t i = 0; i < items.size(); ++i) {
        // The records lie scattered on the heap: ask for the next ones early.
        if (i + 8 < items.size())
            _mm_prefetch(reinterpret_cast<const char *>(items[i + 8].record.get()), _MM_HINT_T0);
        if (i + 4 < items.size())
            _mm_prefetch(items[i + 4].record->path.data(), _MM_HINT_T0);
        const entry &e = items[i];
        for (; next_foreign != foreign.end() && next_foreign->first < e.key; ++next_foreign)
            bytes += next_foreign->second;
        e.record->save_record(bytes);
    }
    for (; next_foreign != foreign.end(); ++next_foreign)
        bytes += next_foreign->second;

    // Written over the old content and cut after it: faster than emptying the
    // file first, and a write that fails halfway leaves records the loader
    // can still read up to the damage.
    LARGE_INTEGER zero = {};
    if (SetFilePointerEx(file.get(), zero, nullptr, FILE_BEGIN) && write_all(file.get(), bytes))
        SetEndOfFile(file.get());
    remember_file(file.get());
    return config_problem::none;
}

CInfoHolder::config_problem CInfoHolder::append_locked(const item_info &record) {
    ScopedFile file(open_index_file(FILE_READ_ATTRIBUTES | FILE_WRITE_DATA, OPEN_EXISTING));
    if (!file.valid())
        return config_problem::append;
    // Only when nobody else changed the file does it stay as this process
    // knows it after the append.
    bool as_left = file_is_as_left(file.get());
    std::string bytes;
    record.save_record(bytes);
    LARGE_INTEGER zero = {};
    if (SetFilePointerEx(file.get(), zero, nullptr, FILE_END))
        write_all(file.get(), bytes);
    if (as_left)
        remember_file(file.get());
    return config_problem::none;
}
bool CInfoHolder::report(config_problem problem) {
    if (problem == config_problem::none || config_error_shown.exchange(true))
        return false;
    const char *text = missing_config_text;
    if (index_path[0] && GetFileAttributesA(index_path) != INVALID_FILE_ATTRIBUTES)
        text = problem == config_problem::append ? append_denied_text : rewrite_denied_text;
    MessageBoxA(nullptr, text, "Quillarvent", MB_OK);
    return true;
}

DWORD CInfoHolder::add_description(const wchar_t *path, int32_t icon_kind, const char *text) {
    if (!path)
        return ERROR_INVALID_PARAMETER;
    auto fresh = boost::make_shared<item_info>(icon_kind, path);
    DWORD code = fresh->write_description(text);
    bool is_new = lookup(path) != entry_state::described;
    if (is_new && code != ERROR_SUCCESS)
        return code;
    if (is_new)
        register_info_tip_for_path(fresh->path);

    config_problem problem;
    {
        ExclusiveLock lock(lock_);
        auto held = find_record(fresh->key, fresh->path);
        if (held != items.end()) {
            // Records are shared with readers outside the lock: replace,
            // never change one in place.
            fresh->reserved = held->record->reserved;
            items[held - items.begin()].record = fresh;
            problem = save_index_locked();
        } else if (code != ERROR_SUCCESS) {
            return code;
        } else {
            insert_record(fresh);
            not_described.erase(path_id(fresh->path));
            given_up.erase(std::make_pair(fresh->key, fresh->path));
            problem = append_locked(*fresh);
        }
    }
    bool told_now = report(problem);
    if (problem == config_problem::append)
        return told_now ? 1 : ERROR_SUCCESS;
    return code;
}

void CInfoHolder::remove_description(const wchar_t *path) {
    record_ptr record;
    if (lookup(path, &record) != entry_state::described)
        return;
    record->delete_description();
    config_problem problem = config_problem::none;
    {
        ExclusiveLock lock(lock_);
        auto held = find_record(record->key, record->path);
        if (held == items.end())
            return;
        give_up(held);
        problem = save_index_locked();
    }
    report(problem);
}

bool CInfoHolder::get_description(const wchar_t *path, std::string &text) {
    record_ptr record;
    if (lookup(path, &record) != entry_state::described)
        return false;
    DWORD code = record->read_description(text);
    if (code == ERROR_SUCCESS)
        return true;
    if (!is_gone_for_good(code, record->path))
        return false;
    config_problem problem = config_problem::none;
    {
        ExclusiveLock lock(lock_);
        auto held = find_record(record->key, record->path);
        if (held == items.end() || held->record != record)
            return false;
        give_up(held);
        problem = save_index_locked();
    }
    report(problem);
    return false;
}

int32_t CInfoHolder::get_icon_kind(const wchar_t *path) const {
    record_ptr record;
    return lookup(path, &record) == entry_state::described ? record->icon_kind : 0;
}

CInfoHolder::record_ptr CInfoHolder::item_at(long n) const {
    SharedLock lock(lock_);
    size_t index = n < 0 ? 0 : static_cast<size_t>(n);
    return index < items.size() ? items[index].record : record_ptr();
}

void CInfoHolder::mark_not_described(const wchar_t *path) {
    if (!path)
        return;
    uint32_t key = path_hash(path);
    std::string ansi_path = to_ansi(path);

    config_problem problem = config_problem::none;
    {
        ExclusiveLock lock(lock_);
        not_described.insert(path_id(ansi_path));
        auto held = find_record(key, ansi_path);
        if (held == items.end())
            return;
        // Dropping a record is a change files.dat must share.
        give_up(held);
        problem = save_index_locked();
    }
    report(problem);
}
