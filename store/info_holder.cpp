#include "store/info_holder.h"

#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <boost/make_shared.hpp>

#include <algorithm>
#include <mutex>
#include <cstring>

#include "module/module_start_up.h"
#include "store/info_tip_registration.h"
#include "store/keep_file.h"
#include "store/path_text.h"
#include "store/store_report.h"

CInfoHolder info_holder;

namespace {

const char missing_config_text[] = "Not found config file , reinstall Quillarvent please";
const char append_denied_text[] = "Can't get access to configuration file , may be you are not "
                                  "authorized user,\t\t\t\t\totherwise reinstall Quillarvent";
const char rewrite_denied_text[] = "Can't get access to configuration file , may be you are not "
                                   "authorized user,\t\t\t\t\t\t\totherwise reinstall Quillarvent";

// The reader of files.dat holds a path of at most 259 bytes.
const size_t max_indexed_path_bytes = 259;

// A 64-bit hash of a UTF-16 path, independent of path_hash, that names a
// negative entry. Paths outside the code page keep entries of their own.
uint64_t path_id(const wchar_t *path) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (const wchar_t *c = path; *c; ++c) {
        h ^= static_cast<uint16_t>(*c);
        h *= 0x100000001b3ull;
    }
    return h;
}

// The root of a drive or share path, or empty when the path has neither.
std::wstring root_of(const std::wstring &path) {
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
        return path.substr(0, 3);
    if (path.compare(0, 2, L"\\\\") == 0) {
        size_t server_end = path.find(L'\\', 2);
        if (server_end == std::wstring::npos)
            return std::wstring();
        size_t share_end = path.find(L'\\', server_end + 1);
        return share_end == std::wstring::npos ? path + L"\\" : path.substr(0, share_end + 1);
    }
    return std::wstring();
}

// Only a missing item or stream on a volume that answers means the
// description is gone; anything else may pass.
bool is_gone_for_good(DWORD code, const std::string &ansi_path) {
    std::wstring path;
    if ((code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) ||
        !wide_path_of(ansi_path, path))
        return false;
    std::wstring root = root_of(path);
    return !root.empty() && GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool carries_stream(const std::string &ansi_path) {
    std::wstring path;
    return wide_path_of(ansi_path, path) && read_icon_kind(path.c_str()) != -1;
}

// The path as files.dat can hold it, or the code that refuses it.
DWORD storable_path(const wchar_t *path, std::string &ansi) {
    if (!path)
        return ERROR_INVALID_PARAMETER;
    if (!path[0] || !is_canonical_full_path(path) || !ansi_path_of(path, ansi))
        return ERROR_INVALID_NAME;
    if (ansi.size() > max_indexed_path_bytes)
        return ERROR_FILENAME_EXCED_RANGE;
    return ERROR_SUCCESS;
}

} // namespace

bool is_described_again(const std::vector<CInfoHolder::change> &described_again,
                        const CInfoHolder::change &removal) {
    for (const auto &again : described_again)
        if (again.key == removal.key && again.path == removal.path)
            return true;
    return false;
}

CInfoHolder::CInfoHolder() : config_error_shown(false) {}

template <typename Same>
index_entries::const_iterator CInfoHolder::probe(uint32_t key, Same &&same) const {
    if (slots_.empty())
        return items.end();
    size_t mask = slots_.size() - 1;
    for (size_t at = slot_of(key);; at = (at + 1) & mask) {
        const slot &candidate = slots_[at];
        if (!candidate.path)
            return items.end();
        if (candidate.key == key && same(candidate.path))
            return items.begin() + candidate.index;
    }
}

index_entries::const_iterator CInfoHolder::find_record(uint32_t key,
                                                       const std::string &ansi_path) const {
    return probe(key, [&](const char *held) { return ansi_path == held; });
}

index_entries::const_iterator CInfoHolder::find_record(uint32_t key, const wchar_t *path) const {
    return probe(key, [&](const char *held) { return same_path(held, path); });
}

size_t CInfoHolder::slot_of(uint32_t key) const {
    // Fibonacci hashing spreads keys that differ only in their low bits.
    return static_cast<uint32_t>(key * 0x9E3779B1u) >> slot_shift_;
}

void CInfoHolder::index_slots() {
    // At most four fifths full: a probe meets an empty slot within a few
    // cache lines, and the table of a large index stays small, which is
    // what a process's start pays for in fresh pages.
    unsigned bits = 4;
    while ((size_t(1) << bits) * 4 < items.size() * 5)
        ++bits;
    slot_shift_ = 32 - bits;
    slots_.assign(size_t(1) << bits, slot());
    size_t mask = slots_.size() - 1;
    for (size_t i = 0; i < items.size(); ++i) {
        size_t at = slot_of(items[i].key);
        while (slots_[at].path)
            at = (at + 1) & mask;
        slots_[at] = slot{items[i].key, static_cast<uint32_t>(i), items[i].record->path.c_str()};
    }
}

void CInfoHolder::replace_record(index_entries::const_iterator held, const record_ptr &record) {
    size_t index = held - items.begin();
    size_t mask = slots_.size() - 1;
    for (size_t at = slot_of(held->key);; at = (at + 1) & mask)
        if (slots_[at].index == index && slots_[at].path) {
            slots_[at].path = record->path.c_str();
            break;
        }
    items[index].record = record;
}

void CInfoHolder::insert_record(const record_ptr &record) {
    // After every entry of the same key: ties keep the order entered.
    auto at =
        std::upper_bound(items.begin(), items.end(), record->key,
                         [](uint32_t key, const index_entry &entry) { return key < entry.key; });
    items.insert(at, index_entry{record->key, record});
    index_slots();
}

void CInfoHolder::insert_records(std::vector<record_ptr> &&records) {
    std::stable_sort(records.begin(), records.end(),
                     [](const record_ptr &a, const record_ptr &b) { return a->key < b->key; });
    index_entries merged;
    merged.reserve(items.size() + records.size());
    auto next = records.begin();
    // After every entry of the same key, as insert_record does.
    for (const index_entry &entry : items) {
        for (; next != records.end() && (*next)->key < entry.key; ++next)
            merged.push_back(index_entry{(*next)->key, *next});
        merged.push_back(entry);
    }
    for (; next != records.end(); ++next)
        merged.push_back(index_entry{(*next)->key, *next});
    items = std::move(merged);
    index_slots();
}

void CInfoHolder::erase_record(index_entries::const_iterator held) {
    items.erase(held);
    index_slots();
}

void CInfoHolder::set_items(index_entries &&entries) {
    // A record that did not change keeps its identity: a reader holding it
    // still holds the index's own record.
    for (auto &entry : entries) {
        auto held = find_record(entry.key, entry.record->path);
        if (held != items.end() && held->record->icon_kind == entry.record->icon_kind &&
            held->record->reserved == entry.record->reserved)
            entry.record = held->record;
    }
    items = std::move(entries);
    index_slots();
}

void CInfoHolder::note_change(uint32_t key, const std::string &path, const record_ptr &record) {
    for (auto &earlier : unwritten)
        if (earlier.key == key && earlier.path == path) {
            earlier.record = record;
            return;
        }
    unwritten.push_back(change{key, path, record});
}

void CInfoHolder::note_changes(const std::vector<record_ptr> &records) {
    std::unordered_map<std::string_view, const record_ptr *> by_path;
    by_path.reserve(records.size());
    for (const record_ptr &record : records)
        by_path.emplace(record->path, &record);
    for (auto &earlier : unwritten) {
        auto found = by_path.find(earlier.path);
        if (found != by_path.end() && found->second) {
            earlier.record = *found->second;
            found->second = nullptr;
        }
    }
    for (const record_ptr &record : records)
        if (by_path[record->path])
            unwritten.push_back(change{record->key, record->path, record});
}

void CInfoHolder::apply_changes(index_entries &entries,
                                const std::vector<change> &described_again) const {
    // Removals leave an empty record behind and additions are merged in at
    // the end: a restore of many items stays one pass over the entries.
    index_entries added;
    bool removed = false;
    for (const change &c : unwritten) {
        auto held = std::lower_bound(
            entries.begin(), entries.end(), c.key,
            [](const index_entry &entry, uint32_t key) { return entry.key < key; });
        while (held != entries.end() && held->key == c.key &&
               (!held->record || held->record->path != c.path))
            ++held;
        bool found = held != entries.end() && held->key == c.key;
        if (c.record && found)
            held->record = c.record;
        else if (c.record)
            added.push_back(index_entry{c.key, c.record});
        else if (found && !is_described_again(described_again, c)) {
            held->record.reset();
            removed = true;
        }
    }
    if (removed)
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [](const index_entry &entry) { return !entry.record; }),
                      entries.end());
    if (added.empty())
        return;
    auto by_key = [](const index_entry &a, const index_entry &b) { return a.key < b.key; };
    std::stable_sort(added.begin(), added.end(), by_key);
    size_t old_size = entries.size();
    entries.insert(entries.end(), added.begin(), added.end());
    // Ties keep the entries already there first, as an insertion after
    // every entry of the same key did.
    std::inplace_merge(entries.begin(), entries.begin() + old_size, entries.end(), by_key);
}

void CInfoHolder::open_index(index_access &access, DWORD disposition) const {
    // Threads of this process take their turn here, in order and without a
    // time limit; the file's own wait is for other processes.
    access.turn = std::unique_lock<std::mutex>(writer_turn_);
    access.opened = access.file.open(index_path, disposition);
    if (!access.opened) {
        access.open_error = GetLastError();
        return;
    }
    // While this thread holds the file no other can write it, so the stamp
    // read here stays the one the locked step sees.
    index_stamp left;
    std::vector<change> removals;
    {
        SharedLock lock(lock_);
        left = left_;
        for (const change &c : unwritten)
            if (!c.record)
                removals.push_back(c);
    }
    access.as_left = access.file.is_as_left(left);
    if (access.as_left)
        return;
    access.read = access.file.read(access.image);
    if (!access.read)
        return;
    access.clean = read_index_image(access.image.data(), access.image.size(), access.current);
    // A record another process wrote for a path this process removed is a
    // later description only if the item carries a stream again.
    for (const change &removal : removals)
        if (std::any_of(access.current.begin(), access.current.end(),
                        [&](const index_entry &entry) {
                            return entry.key == removal.key && entry.record->path == removal.path;
                        }) &&
            carries_stream(removal.path))
            access.described_again.push_back(removal);
}

CInfoHolder::config_problem CInfoHolder::sync_locked(index_access &access,
                                                     const item_info *appended, bool may_append) {
    if (!access.opened)
        return appended ? config_problem::append : config_problem::rewrite;
    CIndexFile &file = access.file;
    if (appended && may_append && access.as_left) {
        std::string bytes;
        appended->save_record(bytes);
        bool done = file.append(bytes);
        left_ = done ? file.leave() : index_stamp();
        if (done)
            unwritten.clear();
        return done ? config_problem::none : config_problem::append;
    }
    if (!access.as_left) {
        // Another process changed the file: its content, with this
        // process's changes on top, is what is written and known from now on.
        // Tried again with the next change: unreadable, or damaged with no
        // copy of the damage kept yet.
        if (!access.read || (!access.clean && !keep_damaged_copy(index_path, access.image)))
            return config_problem::none;
        apply_changes(access.current, access.described_again);
        set_items(std::move(access.current));
    }
    index_image_of(items, image_buffer_);
    bool done = file.replace(image_buffer_);
    left_ = done ? file.leave() : index_stamp();
    if (done)
        unwritten.clear();
    return done ? config_problem::none : config_problem::rewrite;
}

bool CInfoHolder::report(config_problem problem) {
    // A quiet caller leaves the one message of the process to a caller
    // that may show it.
    if (problem == config_problem::none || store_reports_quiet() ||
        config_error_shown.exchange(true))
        return false;
    const char *text = missing_config_text;
    if (index_path[0] && GetFileAttributesA(index_path) != INVALID_FILE_ATTRIBUTES)
        text = problem == config_problem::append ? append_denied_text : rewrite_denied_text;
    store_report("Quillarvent", text);
    return true;
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

DWORD CInfoHolder::load_index() {
    index_access access;
    open_index(access, OPEN_EXISTING);
    if (!access.opened)
        return access.open_error;
    // As this process last read or wrote it, the file holds nothing new.
    if (access.as_left)
        return ERROR_SUCCESS;
    if (!access.read)
        return ERROR_READ_FAULT;
    ExclusiveLock lock(lock_);
    index_entries loaded = std::move(access.current);
    apply_changes(loaded, access.described_again);
    set_items(std::move(loaded));
    if (access.clean && unwritten.empty()) {
        left_ = access.file.leave();
        return ERROR_SUCCESS;
    }
    // The file is rewritten from what could be read, once the damaged image
    // is safe beside it.
    if (!access.clean && !keep_damaged_copy(index_path, access.image))
        return ERROR_SUCCESS;
    index_image_of(items, image_buffer_);
    bool done = access.file.replace(image_buffer_);
    left_ = done ? access.file.leave() : index_stamp();
    if (done)
        unwritten.clear();
    return ERROR_SUCCESS;
}

void CInfoHolder::save_index() {
    index_access access;
    open_index(access, OPEN_ALWAYS);
    config_problem problem;
    {
        ExclusiveLock lock(lock_);
        problem = sync_locked(access, nullptr, false);
    }
    access.release();
    report(problem);
}

DWORD CInfoHolder::add_description(const wchar_t *path, int32_t icon_kind, const char *text) {
    std::string ansi;
    DWORD refused = storable_path(path, ansi);
    if (refused != ERROR_SUCCESS)
        return refused;
    auto fresh = boost::make_shared<item_info>(icon_kind, path);
    // A stream that could not be written leaves the index as it was: the
    // item still carries its earlier description and marker.
    item_identity identity;
    DWORD code = fresh->write_description(text, &identity);
    if (code != ERROR_SUCCESS)
        return code;
    std::string stored;
    if (!text)
        fresh->read_stream(stored);
    keep_file.record(keep_entry_of(keep_event::described, path, icon_kind,
                                   text ? text : stored.c_str(), identity));
    bool is_new = lookup(path) != entry_state::described;
    if (is_new)
        register_info_tip_for_path(fresh->path);

    // files.dat first, the lock after: see open_index.
    index_access access;
    open_index(access, is_new ? OPEN_EXISTING : OPEN_ALWAYS);
    config_problem problem;
    {
        ExclusiveLock lock(lock_);
        bool only_change = unwritten.empty();
        auto held = find_record(fresh->key, fresh->path);
        if (held != items.end()) {
            // Records are shared with readers outside the lock: replace,
            // never change one in place.
            fresh->reserved = held->record->reserved;
            replace_record(held, fresh);
            note_change(fresh->key, fresh->path, fresh);
            problem = sync_locked(access, nullptr, false);
        } else {
            insert_record(fresh);
            not_described.erase(path_id(path));
            note_change(fresh->key, fresh->path, fresh);
            problem = sync_locked(access, fresh.get(), only_change);
        }
    }
    // No message box while files.dat is held: other processes wait on it.
    access.release();
    bool told_now = report(problem);
    return problem == config_problem::append && told_now ? 1 : ERROR_SUCCESS;
}

std::vector<CInfoHolder::batch_result>
CInfoHolder::add_descriptions(const std::vector<new_description> &batch) {
    std::vector<batch_result> results(
        batch.size(), batch_result{ERROR_SUCCESS, item_info::merge_outcome::in_place});
    std::vector<record_ptr> entered;
    std::vector<size_t> entered_at;
    std::unordered_set<std::string> registered_types;
    bool any_described = false;
    bool streams_found = true;
    for (size_t i = 0; i < batch.size(); ++i) {
        const new_description &wanted = batch[i];
        const wchar_t *path = wanted.path.c_str();
        std::string ansi;
        DWORD &code = results[i].code;
        code = storable_path(path, ansi);
        if (code != ERROR_SUCCESS)
            continue;
        auto fresh = boost::make_shared<item_info>(wanted.icon_kind, path);
        int32_t held_kind;
        code = fresh->merge_description(wanted.text.c_str(), wanted.keep_text, wanted.keep_kind,
                                        results[i].outcome, held_kind, streams_found);
        // Streams tend to be all there (a restore over changed texts) or
        // all gone (after a copy that dropped them): the last one tells.
        streams_found = code != ERROR_SUCCESS || held_kind != -1;
        if (code != ERROR_SUCCESS)
            continue;
        bool written = results[i].outcome == item_info::merge_outcome::written;
        if (held_kind >= 0 && held_kind <= 5 && (!written || wanted.keep_kind))
            fresh->icon_kind = held_kind;
        if (lookup(path) == entry_state::described) {
            // A stream that kept its description keeps its record too.
            if (!written)
                continue;
            any_described = true;
        } else {
            // The registration is by type: once per type is enough.
            DWORD attributes = GetFileAttributesW(path);
            std::string type =
                info_tip_type_of(wanted.path, attributes != INVALID_FILE_ATTRIBUTES &&
                                                  (attributes & FILE_ATTRIBUTE_DIRECTORY));
            if (!type.empty() && registered_types.insert(type).second)
                register_info_tip_for_path(fresh->path);
        }
        entered.push_back(fresh);
        entered_at.push_back(i);
    }
    // The keep file holds what was written; a stream that kept its own text
    // was written by someone else, or before.
    std::vector<keep_entry> kept;
    for (size_t n = 0; n < entered.size(); ++n) {
        size_t i = entered_at[n];
        if (results[i].outcome == item_info::merge_outcome::written)
            kept.push_back(keep_entry_of(keep_event::described, batch[i].path.c_str(),
                                         entered[n]->icon_kind, batch[i].text.c_str(),
                                         identity_of_path(batch[i].path.c_str())));
    }
    if (!kept.empty())
        keep_file.record(kept);
    if (entered.empty())
        return results;

    index_access access;
    open_index(access, any_described ? OPEN_ALWAYS : OPEN_EXISTING);
    config_problem problem;
    {
        ExclusiveLock lock(lock_);
        // The last write of a path is the one its stream holds.
        std::unordered_set<std::string_view> seen;
        std::vector<record_ptr> changed, added;
        for (size_t i = entered.size(); i-- > 0;) {
            const record_ptr &fresh = entered[i];
            if (!seen.insert(fresh->path).second)
                continue;
            auto held = find_record(fresh->key, fresh->path);
            if (held != items.end()) {
                auto replacement = boost::make_shared<item_info>(*fresh);
                replacement->reserved = held->record->reserved;
                replace_record(held, replacement);
                changed.push_back(replacement);
            } else {
                not_described.erase(path_id(batch[entered_at[i]].path.c_str()));
                added.push_back(fresh);
                changed.push_back(fresh);
            }
        }
        insert_records(std::move(added));
        note_changes(changed);
        problem = sync_locked(access, nullptr, false);
    }
    access.release();
    if (report(problem))
        for (size_t at : entered_at)
            results[at].code = 1;
    return results;
}

DWORD CInfoHolder::enter_described(const wchar_t *path, int32_t icon_kind) {
    return enter_record(path, icon_kind, true);
}

DWORD CInfoHolder::enter_record(const wchar_t *path, int32_t icon_kind, bool keep) {
    std::string ansi;
    DWORD refused = storable_path(path, ansi);
    if (refused != ERROR_SUCCESS)
        return refused;
    auto fresh = boost::make_shared<item_info>(icon_kind, path);
    if (lookup(path) == entry_state::described)
        return ERROR_SUCCESS;
    index_access access;
    open_index(access, OPEN_EXISTING);
    config_problem problem;
    {
        ExclusiveLock lock(lock_);
        if (find_record(fresh->key, fresh->path) != items.end())
            return ERROR_SUCCESS;
        bool only_change = unwritten.empty();
        insert_record(fresh);
        not_described.erase(path_id(path));
        note_change(fresh->key, fresh->path, fresh);
        problem = sync_locked(access, fresh.get(), only_change);
    }
    access.release();
    register_info_tip_for_path(fresh->path);
    // A description that arrived with its item is kept from now on.
    std::string text;
    if (keep && fresh->read_stream(text) == ERROR_SUCCESS)
        keep_file.record(keep_entry_of(keep_event::described, path, icon_kind, text.c_str(),
                                       identity_of_path(path)));
    bool told_now = report(problem);
    return problem == config_problem::append && told_now ? 1 : ERROR_SUCCESS;
}

DWORD CInfoHolder::remove_description(const wchar_t *path) {
    // A name the index cannot hold may still carry a stream: nothing that
    // could be removed here is gone.
    std::string ansi;
    DWORD refused = storable_path(path, ansi);
    if (refused != ERROR_SUCCESS)
        return refused;
    record_ptr record;
    if (lookup(path, &record) != entry_state::described) {
        // A kept description the index no longer names is removed too, so
        // that nothing brings it back.
        CKeepFile::kept_path kept;
        const keep_entry *last;
        if (keep_file.find(path, kept) && (last = kept.last_change()) &&
            last->event != keep_event::removed)
            keep_file.record(keep_entry_of(keep_event::removed, path, 0, "", item_identity()));
        return ERROR_SUCCESS;
    }
    // A stream another program holds stays, and so does its record: the
    // description is still there.
    DWORD code = record->delete_description();
    if (code != ERROR_SUCCESS)
        return code;
    keep_file.record(
        keep_entry_of(keep_event::removed, path, record->icon_kind, "", item_identity()));
    forget_record(record);
    return ERROR_SUCCESS;
}

bool CInfoHolder::get_description(const wchar_t *path, std::string &text) {
    record_ptr record;
    if (lookup(path, &record) != entry_state::described)
        return false;
    int32_t stream_kind = record->icon_kind;
    DWORD code = record->read_description(text, &stream_kind);
    if (code != ERROR_SUCCESS) {
        if (!is_gone_for_good(code, record->path))
            return false;
        // A program that saves by replacing the file, or a copy, dropped
        // the stream: this user's kept description goes back on the item.
        recovery recovered = recover_description(path, false, &text, &stream_kind);
        if (recovered == recovery::recovered)
            return true;
        if (recovered != recovery::failed)
            forget_record(record);
        return false;
    }
    if (stream_kind != record->icon_kind)
        correct_kind(record, stream_kind);
    return true;
}

CInfoHolder::recovery CInfoHolder::recover_description(const wchar_t *path, bool any_item,
                                                       std::string *text, int32_t *kind) {
    std::string ansi;
    CKeepFile::kept_path kept;
    const keep_entry *last;
    if (storable_path(path, ansi) != ERROR_SUCCESS || !keep_file.find(path, kept) ||
        !(last = kept.last_change()) || last->event == keep_event::removed)
        return recovery::nothing_kept;
    std::string kept_text;
    if (!kept_text_in_system_code_page(*last, kept_text))
        return recovery::failed;
    int32_t kept_kind = last->icon_kind >= 0 && last->icon_kind <= 5 ? last->icon_kind : 0;
    item_info fresh(kept_kind, path);
    item_identity now;
    DWORD code = fresh.write_back(kept_text.c_str(), any_item ? nullptr : &last->identity, now);
    if (code == ERROR_OBJECT_NOT_FOUND)
        return recovery::item_replaced;
    if (code != ERROR_SUCCESS)
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? recovery::nothing_kept
                                                                            : recovery::failed;
    // The item as it is now is the one a later recovery compares with.
    keep_file.record(keep_entry_of(keep_event::recovered, path, kept_kind, kept_text.c_str(), now));
    record_ptr record;
    if (lookup(path, &record) != entry_state::described)
        enter_record(path, kept_kind, false);
    else if (record->icon_kind != kept_kind)
        correct_kind(record, kept_kind);
    if (text)
        *text = kept_text;
    if (kind)
        *kind = kept_kind;
    return recovery::recovered;
}

void CInfoHolder::correct_kind(const record_ptr &record, int32_t stream_kind) {
    index_access access;
    open_index(access, OPEN_ALWAYS);
    config_problem problem = config_problem::none;
    {
        ExclusiveLock lock(lock_);
        auto held = find_record(record->key, record->path);
        if (held == items.end() || held->record != record)
            return;
        // The stream is the description: another process or an older index
        // may have left another kind in the record.
        auto corrected = boost::make_shared<item_info>(*record);
        corrected->icon_kind = stream_kind;
        replace_record(held, corrected);
        note_change(record->key, record->path, corrected);
        problem = sync_locked(access, nullptr, false);
    }
    access.release();
    report(problem);
}

void CInfoHolder::forget_record(const record_ptr &record) {
    if (!record)
        return;
    index_access access;
    open_index(access, OPEN_ALWAYS);
    config_problem problem = config_problem::none;
    {
        ExclusiveLock lock(lock_);
        auto held = find_record(record->key, record->path);
        // A save that landed meanwhile made a newer record: it stays.
        if (held == items.end() || held->record != record)
            return;
        erase_record(held);
        note_change(record->key, record->path, record_ptr());
        problem = sync_locked(access, nullptr, false);
    }
    access.release();
    report(problem);
}

bool CInfoHolder::all_written() const {
    SharedLock lock(lock_);
    return unwritten.empty();
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

std::vector<CInfoHolder::record_ptr> CInfoHolder::records() const {
    SharedLock lock(lock_);
    std::vector<record_ptr> all;
    all.reserve(items.size());
    for (const auto &entry : items)
        all.push_back(entry.record);
    return all;
}

CInfoHolder::tree_ptr CInfoHolder::build_tree() const {
    return build_item_tree(records());
}

CInfoHolder::tree_ptr build_item_tree(const std::vector<CInfoHolder::record_ptr> &records) {
    typedef CInfoHolder::item_tree node;
    auto root = boost::make_shared<node>();
    // The first child of each name under each node, so that finding a
    // child costs the same however many siblings it has. The keys name the
    // nodes' own names, which never change once made. Children are entered
    // only when a search under their parent misses, so the many leaves of a
    // folder that nothing lies below cost nothing here.
    typedef std::pair<const node *, std::string_view> child_key;
    struct child_key_hash {
        size_t operator()(const child_key &key) const {
            return std::hash<std::string_view>()(key.second) * 31 +
                   std::hash<const void *>()(key.first);
        }
    };
    std::unordered_map<child_key, node *, child_key_hash> first_child;
    std::unordered_map<const node *, size_t> entered; // children of a node in first_child
    auto find_child = [&](node *parent, std::string_view name) -> node * {
        auto found = first_child.find(child_key(parent, name));
        if (found != first_child.end())
            return found->second;
        size_t &done = entered[parent];
        for (; done < parent->children.size(); ++done) {
            node *child = parent->children[done].get();
            first_child.emplace(child_key(parent, child->name), child);
        }
        found = first_child.find(child_key(parent, name));
        return found != first_child.end() ? found->second : nullptr;
    };
    const unsigned code_page = GetACP();
    for (const auto &record : records) {
        if (!record)
            continue;
        const std::string &path = record->path;
        node *at = root.get();
        size_t start = 0;
        for (size_t slash; (slash = next_backslash(path, start, code_page)) != std::string::npos;
             start = slash + 1) {
            std::string_view component(path.data() + start, slash - start);
            if (node *found = find_child(at, component)) {
                at = found;
                continue;
            }
            auto folder = boost::make_shared<node>();
            folder->name.assign(component);
            node *added = folder.get();
            at->children.push_back(std::move(folder));
            at = added;
        }
        // A leaf is appended without a search: a folder's own record that
        // comes after its files gets a node of its own.
        if (start < path.size()) {
            auto leaf = boost::make_shared<node>();
            leaf->name = path.substr(start);
            leaf->item = record;
            at->children.push_back(std::move(leaf));
        }
    }
    return root;
}

void CInfoHolder::mark_not_described(const wchar_t *path) {
    if (!path)
        return;
    uint32_t key = path_hash(path);
    ExclusiveLock lock(lock_);
    if (find_record(key, path) == items.end())
        not_described.insert(path_id(path));
}
