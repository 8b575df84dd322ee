#include "store/keep_file.h"

#include <aclapi.h>
#include <shlobj.h>

#include <algorithm>

#include "module/win_handles.h"
#include "store/item_info.h"
#include "store/path_text.h"

CKeepFile keep_file;

namespace {

const DWORD turn_wait_ms = 2000;
const uint64_t least_compacted_size = 1u << 20;
const size_t large_image_bytes = 4u << 20;

uint64_t as_count(const FILETIME &time) {
    return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The process's user, and the groups it may own files through (an elevated
// administrator's files belong to the Administrators group).
bool owned_by_this_user(HANDLE file) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool own = false;
    HANDLE token;
    if (owner && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<char> user(size ? size : 1);
        if (GetTokenInformation(token, TokenUser, user.data(), size, &size))
            own = EqualSid(owner, reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid) != 0;
        // What the user wrote elevated belongs to the Administrators group,
        // which the user's ordinary token holds only to deny.
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD sid_size = sizeof(administrators);
        if (!own &&
            CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sid_size))
            own = EqualSid(owner, administrators) != 0;
        size = 0;
        GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
        std::vector<char> groups(size ? size : 1);
        if (!own && GetTokenInformation(token, TokenGroups, groups.data(), size, &size)) {
            auto *list = reinterpret_cast<TOKEN_GROUPS *>(groups.data());
            for (DWORD i = 0; i < list->GroupCount && !own; ++i)
                own = (list->Groups[i].Attributes & SE_GROUP_OWNER) &&
                      EqualSid(owner, list->Groups[i].Sid);
        }
        CloseHandle(token);
    }
    LocalFree(descriptor);
    return own;
}

bool write_all(HANDLE file, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || !written)
            return false;
        done += written;
    }
    return true;
}

// Reads the file from `offset` to `end` onto the end of `bytes`.
bool read_from(HANDLE file, uint64_t offset, uint64_t end, std::string &bytes) {
    if (end < offset || end - offset > 0x7fffffff)
        return false;
    size_t start = bytes.size();
    bytes.resize(start + static_cast<size_t>(end - offset));
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN))
        return false;
    size_t done = start;
    while (done < bytes.size()) {
        DWORD n = 0;
        if (!ReadFile(file, &bytes[done], static_cast<DWORD>(bytes.size() - done), &n, nullptr) ||
            !n)
            break;
        done += n;
    }
    bytes.resize(done);
    return true;
}

// A table slot for a key: paths that differ only near their end differ in
// few bits of their key, which the multiplication spreads over all of them.
size_t spread(uint32_t key) {
    return static_cast<uint32_t>(key * 0x9E3779B1u) >> 8;
}

// A recovery is a change too: its identity is the item's from then on.
bool is_change(const keep_entry &entry) {
    return entry.event != keep_event::checked;
}

} // namespace

const keep_entry *CKeepFile::kept_path::last_change() const {
    for (auto at = history.rbegin(); at != history.rend(); ++at)
        if (is_change(*at))
            return &*at;
    return nullptr;
}

item_identity identity_of_handle(HANDLE item) {
    item_identity id;
    BY_HANDLE_FILE_INFORMATION info;
    if (item == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(item, &info))
        return id;
    id.known = true;
    id.volume_serial = info.dwVolumeSerialNumber;
    id.file_id = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.creation = as_count(info.ftCreationTime);
    id.size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    id.last_write = as_count(info.ftLastWriteTime);
    return id;
}

item_identity identity_of_path(const wchar_t *path) {
    // Without a handle: a restore of a hundred thousand items does not pay
    // an open more for each. The file ID stays unknown; the times and the
    // size tell a replacement and a copy.
    item_identity id;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!path || !GetFileAttributesExW(openable(path).c_str(), GetFileExInfoStandard, &data))
        return id;
    id.known = true;
    id.creation = as_count(data.ftCreationTime);
    id.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    id.last_write = as_count(data.ftLastWriteTime);
    return id;
}

bool is_same_or_replacement(const item_identity &recorded, const item_identity &now) {
    // A file ID alone is no proof: file systems give a deleted file's ID
    // (an inode number under Wine and on Samba shares) to the next new
    // file. A stream stripped in place leaves the creation time as it was.
    if (!recorded.known || !now.known)
        return false;
    return (recorded.creation != 0 && recorded.creation == now.creation) ||
           (recorded.last_write != 0 && recorded.size == now.size &&
            recorded.last_write == now.last_write);
}

uint64_t keep_time_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return as_count(now);
}

std::wstring CKeepFile::default_path() {
    // The process's own user: a thread that impersonates a client still
    // writes to the account the process runs as, never the client's.
    wchar_t folder[MAX_PATH];
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_IMPERSONATE, &token);
    HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, token, SHGFP_TYPE_CURRENT, folder);
    if (token)
        CloseHandle(token);
    if (FAILED(hr))
        return std::wstring();
    return std::wstring(folder) + L"\\Quillarvent\\keep.dat";
}

CKeepFile::~CKeepFile() {
    forget_locked();
}

void CKeepFile::forget_locked() {
    if (reader_ != INVALID_HANDLE_VALUE)
        CloseHandle(reader_);
    reader_ = INVALID_HANDLE_VALUE;
    // The memory stays: a file read again fills pages already there.
    image_.clear();
    records_read_ = 0;
    damaged_ = false;
    slots_.clear();
    table_.clear();
    recovered_.clear();
}

void CKeepFile::set_path(const std::wstring &path) {
    std::lock_guard<std::mutex> hold(lock_);
    forget_locked();
    damage_kept_ = false;
    default_pending_ = false;
    path_ = path;
    problem_ = ERROR_SUCCESS;
}

std::wstring CKeepFile::path() {
    std::lock_guard<std::mutex> hold(lock_);
    return path_locked();
}

void CKeepFile::use_default_path() {
    std::lock_guard<std::mutex> hold(lock_);
    forget_locked();
    damage_kept_ = false;
    path_.clear();
    problem_ = ERROR_SUCCESS;
    default_pending_ = true;
}

const std::wstring &CKeepFile::path_locked() {
    if (default_pending_) {
        default_pending_ = false;
        path_ = default_path();
    }
    return path_;
}

DWORD CKeepFile::problem() const {
    std::lock_guard<std::mutex> hold(lock_);
    return problem_;
}

HANDLE CKeepFile::take_turn() const {
    // Named after the file, in the session's namespace: only this user's
    // processes write it.
    uint64_t h = 0xcbf29ce484222325ull;
    for (wchar_t c : path_) {
        h ^= static_cast<uint16_t>(c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c);
        h *= 0x100000001b3ull;
    }
    wchar_t name[64];
    wsprintfW(name, L"Local\\Quillarvent.keep.%08lx%08lx", static_cast<unsigned long>(h >> 32),
              static_cast<unsigned long>(h));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex)
        return nullptr;
    DWORD waited = WaitForSingleObject(mutex, turn_wait_ms);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        return mutex;
    CloseHandle(mutex);
    SetLastError(ERROR_SHARING_VIOLATION);
    return nullptr;
}

bool CKeepFile::record(const std::vector<keep_entry> &entries) {
    std::string bytes;
    for (const keep_entry &entry : entries)
        append_keep_record(entry, bytes);
    std::lock_guard<std::mutex> hold(lock_);
    if (path_locked().empty()) {
        problem_ = ERROR_PATH_NOT_FOUND;
        return false;
    }
    HANDLE turn = take_turn();
    if (!turn) {
        problem_ = GetLastError();
        return false;
    }
    size_t slash = path_.find_last_of(L'\\');
    if (slash != std::wstring::npos)
        CreateDirectoryW(path_.substr(0, slash).c_str(), nullptr);
    ScopedFile file(CreateFileW(path_.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD error = file.valid() ? ERROR_SUCCESS : GetLastError();
    LARGE_INTEGER size = {};
    if (file.valid() && !GetFileSizeEx(file.get(), &size))
        error = GetLastError();
    // A new file gets its header with its first records.
    if (error == ERROR_SUCCESS && size.QuadPart == 0)
        bytes.insert(0, keep_file_header, sizeof(keep_file_header));
    if (error == ERROR_SUCCESS && !write_all(file.get(), bytes))
        error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    file.reset();
    // Compacted each time the file passes a power of two from 1 MB up, so
    // a user who never reads it still keeps it bounded.
    uint64_t before = static_cast<uint64_t>(size.QuadPart), after = before + bytes.size();
    bool crossed = false;
    for (uint64_t mark = least_compacted_size; mark && mark <= after; mark <<= 1)
        crossed = crossed || (before < mark && mark <= after);
    if (error == ERROR_SUCCESS && crossed && refresh_locked())
        compact_locked();
    ReleaseMutex(turn);
    CloseHandle(turn);
    problem_ = error;
    return error == ERROR_SUCCESS;
}

bool CKeepFile::open_for_read_locked() {
    if (reader_ != INVALID_HANDLE_VALUE) {
        // Still the file of that name, unless a compaction put a new one in
        // its place.
        ScopedFile named(CreateFileW(path_.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
        item_identity held = identity_of_handle(reader_), now = identity_of_handle(named.get());
        if (now.known && held.file_id == now.file_id && held.volume_serial == now.volume_serial)
            return true;
        forget_locked();
    }
    auto open = [&] {
        reader_ = CreateFileW(path_.c_str(), FILE_READ_DATA | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return reader_ != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError();
    };
    DWORD error = open();
    // For an instant of a compaction the file has no name, and its new
    // copy lies beside it: once the compacting process has its turn no
    // more, the file is there again.
    if (error == ERROR_FILE_NOT_FOUND &&
        GetFileAttributesW((path_ + L".new").c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (HANDLE turn = take_turn()) {
            error = open();
            ReleaseMutex(turn);
            CloseHandle(turn);
        }
    }
    if (reader_ == INVALID_HANDLE_VALUE) {
        // No keep file yet is nothing kept, and nothing wrong, unless
        // something else stands where its folder belongs.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            size_t slash = path_.find_last_of(L'\\');
            DWORD folder = slash == std::wstring::npos
                               ? INVALID_FILE_ATTRIBUTES
                               : GetFileAttributesW(path_.substr(0, slash).c_str());
            error = folder != INVALID_FILE_ATTRIBUTES && !(folder & FILE_ATTRIBUTE_DIRECTORY)
                        ? ERROR_DIRECTORY
                        : ERROR_SUCCESS;
        }
        problem_ = error;
        return false;
    }
    // Another user's file in this user's place is never read: it could
    // plant descriptions that recovery would write to this user's items.
    if (!owned_by_this_user(reader_)) {
        CloseHandle(reader_);
        reader_ = INVALID_HANDLE_VALUE;
        problem_ = ERROR_ACCESS_DENIED;
        return false;
    }
    return true;
}

void CKeepFile::index_slots_locked() {
    size_t size = 16;
    while (size < slots_.size() * 2)
        size <<= 1;
    table_.assign(size, 0);
    for (size_t i = 0; i < slots_.size(); ++i) {
        size_t at = spread(slots_[i].key) & (size - 1);
        while (table_[at])
            at = (at + 1) & (size - 1);
        table_[at] = static_cast<uint32_t>(i + 1);
    }
}

CKeepFile::path_slot *CKeepFile::slot_of_locked(uint32_t key, const void *path, size_t units) {
    if (table_.empty())
        return nullptr;
    size_t mask = table_.size() - 1;
    for (size_t at = spread(key) & mask; table_[at]; at = (at + 1) & mask) {
        path_slot &slot = slots_[table_[at] - 1];
        if (slot.key == key && slot.path_units == units &&
            memcmp(image_.data() + slot.path_at, path, units * 2) == 0)
            return &slot;
    }
    return nullptr;
}

void CKeepFile::take_locked(const keep_record_view &record, size_t at) {
    ++records_read_;
    if (record.event == keep_event::checked) {
        recovered_.clear();
        return;
    }
    if (record.event == keep_event::recovered)
        recovered_.push_back(static_cast<uint32_t>(at));
    if (!record.path_units)
        return;
    // path_hash and path_print of the UTF-16 path, read in place.
    uint32_t key = 0;
    path_print print;
    for (size_t i = 0; i < record.path_units; ++i) {
        uint16_t unit;
        memcpy(&unit, record.path + 2 * i, 2);
        key = (key << 5) + key + unit;
        print.add(unit);
    }
    path_slot *slot = slot_of_locked(key, record.path, record.path_units);
    if (!slot) {
        path_slot fresh = {key,
                           print.value(),
                           static_cast<uint32_t>(record.path - image_.data()),
                           static_cast<uint32_t>(record.path_units),
                           0,
                           {}};
        slots_.push_back(fresh);
        if (slots_.size() * 2 > table_.size()) {
            index_slots_locked();
        } else {
            size_t mask = table_.size() - 1, place = spread(key) & mask;
            while (table_[place])
                place = (place + 1) & mask;
            table_[place] = static_cast<uint32_t>(slots_.size());
        }
        slot = &slots_.back();
    }
    // Bounded in memory as in the file: the oldest record goes once there
    // are more than the last few.
    if (slot->count == kept_records) {
        memmove(slot->records, slot->records + 1, (kept_records - 1) * sizeof(uint32_t));
        --slot->count;
    }
    slot->records[slot->count++] = static_cast<uint32_t>(at);
}

keep_entry CKeepFile::entry_at(uint32_t at) const {
    return keep_entry_from(view_keep_record(image_.data() + at));
}

CKeepFile::latest_view CKeepFile::view_at(const path_slot &slot, uint32_t at) const {
    keep_record_view record = view_keep_record(image_.data() + at);
    return latest_view{slot.key,         slot.print,
                       record.event,     record.icon_kind,
                       record.code_page, std::string_view(record.text, record.text_bytes),
                       record.path,      record.path_units};
}

CKeepFile::kept_path CKeepFile::materialize(const path_slot &slot) const {
    kept_path kept;
    kept.key = slot.key;
    kept.path.resize(slot.path_units);
    if (slot.path_units)
        memcpy(&kept.path[0], image_.data() + slot.path_at, slot.path_units * 2);
    for (uint32_t i = 0; i < slot.count; ++i) {
        kept.history.push_back(entry_at(slot.records[i]));
        kept.history.back().path.clear(); // the path is the kept_path's
    }
    return kept;
}

std::wstring CKeepFile::latest_view::path() const {
    std::wstring wide(path_units, L'\0');
    if (path_units)
        memcpy(&wide[0], path_bytes, path_units * 2);
    return wide;
}

bool CKeepFile::latest_view::description(std::string_view &out, std::string &converted) const {
    if (event == keep_event::removed)
        return false;
    if (code_page == GetACP() || text.empty()) {
        out = text;
        return true;
    }
    keep_entry entry;
    entry.code_page = code_page;
    entry.text.assign(text);
    if (!kept_text_in_system_code_page(entry, converted))
        return false;
    out = converted;
    return true;
}

size_t CKeepFile::contents::size() const {
    return file_.slots_.size();
}

CKeepFile::latest_view CKeepFile::contents::at(size_t n) const {
    const path_slot &slot = file_.slots_[n];
    return file_.view_at(slot, slot.records[slot.count - 1]);
}

bool CKeepFile::contents::of(uint32_t key, const std::string &ansi_path, latest_view &view,
                             size_t *place) const {
    const std::vector<uint32_t> &table = file_.table_;
    if (table.empty())
        return false;
    size_t mask = table.size() - 1;
    for (size_t at = spread(key) & mask; table[at]; at = (at + 1) & mask) {
        const path_slot &slot = file_.slots_[table[at] - 1];
        if (slot.key != key)
            continue;
        // ASCII is the same in every code page: only a path with other
        // characters is converted to compare.
        const char *units = file_.image_.data() + slot.path_at;
        bool ascii = true, same = slot.path_units == ansi_path.size();
        for (size_t i = 0; i < slot.path_units; ++i) {
            uint16_t unit;
            memcpy(&unit, units + 2 * i, 2);
            if (unit >= 0x80) {
                ascii = false;
                break;
            }
            same = same && unit == static_cast<unsigned char>(ansi_path[i]);
        }
        if (!ascii) {
            std::wstring wide(slot.path_units, L'\0');
            memcpy(&wide[0], units, slot.path_units * 2);
            same = same_path(ansi_path.c_str(), wide.c_str());
        }
        if (same) {
            view = file_.view_at(slot, slot.records[slot.count - 1]);
            if (place)
                *place = table[at] - 1;
            return true;
        }
    }
    return false;
}

bool CKeepFile::refresh_locked() {
    if (path_locked().empty())
        return false;
    if (!open_for_read_locked())
        return problem_ == ERROR_SUCCESS;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(reader_, &size)) {
        problem_ = GetLastError();
        return false;
    }
    uint64_t end = static_cast<uint64_t>(size.QuadPart);
    if (end < image_.size()) {
        // Shorter than what was read: not the file this process read.
        forget_locked();
        return refresh_locked();
    }
    if (end == image_.size())
        return true;
    // Offsets into the image are 32-bit: a file past 2 GB is not read.
    if (end > 0x7fffffff) {
        problem_ = ERROR_FILE_TOO_LARGE;
        return false;
    }
    size_t start = image_.size();
    if (!read_from(reader_, start, end, image_)) {
        problem_ = GetLastError();
        image_.resize(start);
        return false;
    }
    size_t from = start;
    if (start == 0) {
        if (image_.size() < sizeof(keep_file_header)) {
            image_.clear();
            return true;
        }
        // A file of another format is damage as a whole: whatever records
        // it holds are read, and it is kept aside at the next compaction.
        if (memcmp(image_.data(), keep_file_header, sizeof(keep_file_header)) == 0)
            from = sizeof(keep_file_header);
        else
            damaged_ = true;
    }
    size_t complete = 0;
    bool clean = walk_keep_views(
        image_.data() + from, image_.size() - from, complete,
        [&](const keep_record_view &record, size_t offset) { take_locked(record, from + offset); });
    damaged_ = damaged_ || !clean;
    // A record cut short is read again with what follows it.
    image_.resize(from + complete);
    problem_ = ERROR_SUCCESS;
    return true;
}

bool CKeepFile::find(const wchar_t *path, kept_path &kept) {
    if (!path)
        return false;
    uint32_t key = path_hash(path);
    std::lock_guard<std::mutex> hold(lock_);
    refresh_locked();
    const path_slot *slot = slot_of_locked(key, path, wcslen(path));
    if (slot)
        kept = materialize(*slot);
    // A recovery in the shell is rare: the shell does not keep a large
    // file's bytes for it.
    if (image_.size() > large_image_bytes) {
        forget_locked();
        std::string().swap(image_);
    }
    return slot != nullptr;
}

bool CKeepFile::refresh_and_compact_locked() {
    bool read = refresh_locked();
    // Worth a rewrite once most of what was read has been superseded, or
    // when damage was met.
    size_t live = 0;
    for (const path_slot &slot : slots_)
        live += slot.count;
    if (read && (damaged_ || records_read_ > 2 * live + 1000)) {
        if (HANDLE turn = take_turn()) {
            if (refresh_locked())
                compact_locked();
            ReleaseMutex(turn);
            CloseHandle(turn);
        }
    }
    return read;
}

bool CKeepFile::read_all(std::vector<kept_path> &paths, std::vector<keep_entry> *recovered) {
    std::lock_guard<std::mutex> hold(lock_);
    bool read = refresh_and_compact_locked();
    paths.clear();
    for (const path_slot &slot : slots_)
        paths.push_back(materialize(slot));
    if (recovered) {
        recovered->clear();
        for (uint32_t at : recovered_)
            recovered->push_back(entry_at(at));
    }
    return read;
}

bool CKeepFile::recoveries(std::vector<keep_entry> &recovered) {
    std::lock_guard<std::mutex> hold(lock_);
    bool read = refresh_and_compact_locked();
    recovered.clear();
    for (uint32_t at : recovered_)
        recovered.push_back(entry_at(at));
    return read;
}

bool CKeepFile::with_latest(const std::function<void(const contents &)> &use) {
    std::lock_guard<std::mutex> hold(lock_);
    bool read = refresh_and_compact_locked();
    use(contents(*this));
    return read;
}

bool CKeepFile::compact() {
    std::lock_guard<std::mutex> hold(lock_);
    if (path_locked().empty())
        return false;
    HANDLE turn = take_turn();
    if (!turn)
        return false;
    bool done = refresh_locked() && compact_locked();
    ReleaseMutex(turn);
    CloseHandle(turn);
    return done;
}

bool CKeepFile::compact_locked() {
    if (reader_ == INVALID_HANDLE_VALUE)
        return false;
    if (damaged_ && !damage_kept_) {
        // What could not be read stays beside the file for a person to
        // look at, once; a later copy gets the time in its name.
        std::string image;
        LARGE_INTEGER size;
        if (!GetFileSizeEx(reader_, &size) ||
            !read_from(reader_, 0, static_cast<uint64_t>(size.QuadPart), image))
            return false;
        std::wstring bad = path_ + L".bad";
        ScopedFile copy(CreateFileW(bad.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!copy.valid()) {
            uint64_t now = keep_time_now();
            wchar_t suffix[32];
            wsprintfW(suffix, L"-%08lx%08lx", static_cast<unsigned long>(now >> 32),
                      static_cast<unsigned long>(now));
            copy.reset(CreateFileW((bad + suffix).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        if (!copy.valid() || !write_all(copy.get(), image))
            return false;
        damage_kept_ = true;
    }
    // A check's record first: a recovery not yet listed by a check stays
    // one after it, and one a check listed is the description it wrote
    // back. Each path keeps the order of its records.
    std::string image(keep_file_header, sizeof(keep_file_header));
    keep_entry checked;
    checked.event = keep_event::checked;
    checked.time = keep_time_now();
    append_keep_record(checked, image);
    for (const path_slot &slot : slots_)
        for (uint32_t i = 0; i < slot.count; ++i) {
            uint32_t at = slot.records[i];
            keep_record_view view = view_keep_record(image_.data() + at);
            bool pending = std::find(recovered_.begin(), recovered_.end(), at) != recovered_.end();
            if (view.event == keep_event::recovered && !pending) {
                keep_entry entry = entry_at(at);
                entry.event = keep_event::described;
                append_keep_record(entry, image);
            } else {
                image.append(image_.data() + at, view.length);
            }
        }

    std::wstring fresh = path_ + L".new";
    ScopedFile file(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    bool whole = file.valid() && write_all(file.get(), image) && FlushFileBuffers(file.get());
    file.reset();
    // A file others hold open cannot be replaced by a rename, but it can be
    // renamed away (they share deletion), and then deleted: it goes once
    // the last of them lets it go.
    wchar_t suffix[40];
    wsprintfW(suffix, L".old-%08lx%08lx", GetCurrentProcessId(), GetTickCount());
    std::wstring old_name = path_ + suffix;
    if (!whole || !MoveFileExW(path_.c_str(), old_name.c_str(), 0)) {
        DeleteFileW(fresh.c_str());
        return false;
    }
    if (!MoveFileExW(fresh.c_str(), path_.c_str(), MOVEFILE_WRITE_THROUGH)) {
        MoveFileExW(old_name.c_str(), path_.c_str(), 0);
        DeleteFileW(fresh.c_str());
        return false;
    }
    DeleteFileW(old_name.c_str());
    // The new file is read as any other process reads it.
    forget_locked();
    damage_kept_ = false;
    refresh_locked();
    return true;
}

bool kept_text_in_system_code_page(const keep_entry &entry, std::string &text) {
    if (entry.code_page == GetACP() || entry.text.empty()) {
        text = entry.text;
        return true;
    }
    int length = MultiByteToWideChar(entry.code_page, MB_ERR_INVALID_CHARS, entry.text.data(),
                                     static_cast<int>(entry.text.size()), nullptr, 0);
    if (length <= 0)
        return false;
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(entry.code_page, MB_ERR_INVALID_CHARS, entry.text.data(),
                        static_cast<int>(entry.text.size()), &wide[0], length);
    return exact_ansi_of(wide.c_str(), text);
}

keep_entry keep_entry_of(keep_event event, const wchar_t *path, int32_t icon_kind, const char *text,
                         const item_identity &identity) {
    keep_entry entry;
    entry.event = event;
    entry.icon_kind = icon_kind;
    entry.code_page = GetACP();
    entry.time = keep_time_now();
    entry.identity = identity;
    entry.path = path;
    if (text)
        entry.text.assign(text, strnlen(text, max_description_bytes));
    return entry;
}
