#include "store/description_search.h"

#include <algorithm>
#include <cstring>

#include "store/keep_file.h"
#include "store/path_text.h"

namespace {

// `path` is `folder` or lies inside it, compared without regard to case.
bool is_in_folder(const std::wstring &folder, const std::wstring &path) {
    if (folder.empty())
        return true;
    size_t length = folder.size();
    if (folder.back() == L'\\')
        --length;
    return path.size() >= length &&
           CompareStringOrdinal(folder.data(), static_cast<int>(length), path.data(),
                                static_cast<int>(length), TRUE) == CSTR_EQUAL &&
           (path.size() == length || path[length] == L'\\');
}

bool on_share(const std::wstring &path) {
    return path.compare(0, 2, L"\\\\") == 0;
}

} // namespace

text_query::text_query() : code_page_(GetACP()) {
    CPINFO info = {};
    double_byte_ = GetCPInfo(code_page_, &info) && info.MaxCharSize > 1;
    for (int c = 0; c < 256; ++c) {
        char one[2] = {static_cast<char>(c), 0};
        // A double-byte code page folds ASCII only: its other bytes may be
        // halves of characters.
        if (!double_byte_ || c < 0x80)
            CharLowerBuffA(one, 1);
        fold_[c] = static_cast<unsigned char>(one[0]);
    }
}

bool text_query::set(const wchar_t *query) {
    words_.clear();
    std::wstring text = query ? query : L"";
    size_t at = 0;
    while (at < text.size()) {
        size_t start = text.find_first_not_of(L" \t\r\n", at);
        if (start == std::wstring::npos)
            break;
        size_t end = text.find_first_of(L" \t\r\n", start);
        if (end == std::wstring::npos)
            end = text.size();
        std::string word;
        if (!exact_ansi_of(text.substr(start, end - start).c_str(), word)) {
            words_.clear();
            return false;
        }
        for (char &c : word)
            c = static_cast<char>(fold_[static_cast<unsigned char>(c)]);
        words_.push_back(word);
        at = end;
    }
    return true;
}

bool text_query::contains(std::string_view haystack, const std::string &word) const {
    // Folded a whole text at a time, then searched as bytes: the search
    // runs at the speed of memchr.
    folded_.resize(haystack.size());
    for (size_t i = 0; i < haystack.size(); ++i)
        folded_[i] = static_cast<char>(fold_[static_cast<unsigned char>(haystack[i])]);
    for (size_t at = folded_.find(word); at != std::string::npos; at = folded_.find(word, at + 1)) {
        if (!double_byte_)
            return true;
        // A match starts on a character, never on the second byte of one.
        size_t i = 0;
        while (i < at)
            i += IsDBCSLeadByteEx(code_page_, static_cast<unsigned char>(haystack[i])) ? 2 : 1;
        if (i == at)
            return true;
    }
    return false;
}

bool text_query::matches(std::string_view path, std::string_view text) const {
    for (const std::string &word : words_)
        if (!contains(text, word) && !contains(path, word))
            return false;
    return true;
}

std::vector<std::string> kept_texts_of(const std::vector<CInfoHolder::record_ptr> &records) {
    std::vector<std::string> texts(records.size());
    keep_file.with_latest([&](const CKeepFile::contents &kept) {
        CKeepFile::latest_view view;
        std::string_view text;
        std::string converted;
        for (size_t i = 0; i < records.size(); ++i)
            if (records[i] && kept.of(records[i]->key, records[i]->path, view) &&
                view.description(text, converted))
                texts[i].assign(text);
    });
    return texts;
}

namespace {

uint64_t print_of_ansi(const std::string &ansi) {
    path_print print;
    for (unsigned char c : ansi) {
        if (c >= 0x80) {
            // Other characters need the code page to name their units.
            std::wstring wide;
            path_print converted;
            if (wide_path_of(ansi, wide))
                for (wchar_t unit : wide)
                    converted.add(static_cast<uint16_t>(unit));
            return converted.value();
        }
        print.add(c);
    }
    return print.value();
}

struct kept_key {
    uint32_t key;
    uint64_t print;
    uint32_t place;     // among the keep file's paths
    bool matches;       // the query's words are in its path or text
    int32_t index_kind; // the index's marker for it; -1 when not indexed
};

// By key, in two passes of 16 bits: a hundred thousand keys sort in the
// time of two copies.
void sort_by_key(std::vector<kept_key> &keys) {
    std::vector<kept_key> other(keys.size());
    std::vector<size_t> counts(65537);
    for (int shift : {0, 16}) {
        std::fill(counts.begin(), counts.end(), 0);
        for (const kept_key &k : keys)
            ++counts[((k.key >> shift) & 0xffff) + 1];
        for (size_t i = 1; i < 65537; ++i)
            counts[i] += counts[i - 1];
        for (const kept_key &k : keys)
            other[counts[(k.key >> shift) & 0xffff]++] = k;
        keys.swap(other);
    }
}

// find_described; without `index_items` only the kept descriptions the
// index no longer names are looked at, and the index's items are not.
//
// The keep file is searched in place, in its own order, so a search over a
// hundred thousand descriptions reads memory in sequence. The index's
// records are then met in key order beside the kept paths' keys: those the
// keep file holds are attached, the others are searched by their path (and
// with `deep` their stream). Only what is found is copied out.
std::vector<found_item> find_items(const text_query &query, const std::wstring &folder, int kind,
                                   bool deep, bool open_shares, bool index_items) {
    std::vector<CInfoHolder::record_ptr> records = info_holder.records();
    std::vector<found_item> found;
    std::vector<const item_info *> unkept; // indexed, and not in the keep file
    keep_file.with_latest([&](const CKeepFile::contents &kept) {
        std::vector<kept_key> kept_keys;
        kept_keys.reserve(kept.size());
        std::string ansi_path, converted;
        std::string_view text;
        for (size_t n = 0; n < kept.size(); ++n) {
            CKeepFile::latest_view view = kept.at(n);
            // A removal leaves the path to the index's own record, if any.
            if (!view.description(text, converted))
                continue;
            bool ascii = true;
            ansi_path.resize(view.path_units);
            for (size_t i = 0; i < view.path_units; ++i) {
                uint16_t unit;
                memcpy(&unit, view.path_bytes + 2 * i, 2);
                ascii = ascii && unit < 0x80;
                ansi_path[i] = static_cast<char>(unit);
            }
            if (!ascii && !ansi_path_of(view.path().c_str(), ansi_path))
                continue;
            kept_keys.push_back(kept_key{view.key, view.print, static_cast<uint32_t>(n),
                                         query.matches(ansi_path, text), -1});
        }
        sort_by_key(kept_keys);
        auto next = kept_keys.begin();
        for (const CInfoHolder::record_ptr &record : records) {
            while (next != kept_keys.end() && next->key < record->key)
                ++next;
            bool is_kept = false;
            if (next != kept_keys.end() && next->key == record->key) {
                uint64_t print = print_of_ansi(record->path);
                for (auto same = next; same != kept_keys.end() && same->key == record->key; ++same)
                    if (same->print == print) {
                        same->index_kind = record->icon_kind;
                        is_kept = true;
                    }
            }
            if (!is_kept && index_items && (kind < 0 || record->icon_kind == kind) &&
                (deep || query.matches(record->path, std::string_view())))
                unkept.push_back(record.get());
        }
        for (const kept_key &held : kept_keys) {
            bool attached = held.index_kind >= 0;
            if (!held.matches || (attached && !index_items))
                continue;
            CKeepFile::latest_view view = kept.at(held.place);
            found_item item;
            item.icon_kind = attached ? held.index_kind : view.icon_kind;
            item.path = view.path();
            if ((kind >= 0 && item.icon_kind != kind) || !is_in_folder(folder, item.path) ||
                !view.description(text, converted))
                continue;
            item.text.assign(text);
            item.text_known = true;
            item.attached = attached;
            found.push_back(std::move(item));
        }
    });
    // Streams are read once the keep file is let go. Only a plain full path
    // is ever opened: files.dat is anyone's.
    for (const item_info *record : unkept) {
        found_item item;
        if (!wide_path_of(record->path, item.path) || !is_in_folder(folder, item.path))
            continue;
        if (deep && is_canonical_full_path(item.path.c_str()) &&
            (open_shares || !on_share(item.path)))
            item.text_known = record->read_stream(item.text) == ERROR_SUCCESS;
        if (deep && !query.matches(record->path, item.text))
            continue;
        item.icon_kind = record->icon_kind;
        found.push_back(std::move(item));
    }
    // A kept description the index no longer names stands for an item
    // replaced by an unrelated file; one whose item is gone names nothing
    // to find, and one whose item carries a description again is that
    // one's.
    std::vector<found_item> kept_items;
    for (found_item &item : found)
        if (item.attached ||
            (is_canonical_full_path(item.path.c_str()) && (open_shares || !on_share(item.path)) &&
             GetFileAttributesW(openable(item.path).c_str()) != INVALID_FILE_ATTRIBUTES &&
             read_icon_kind(item.path.c_str()) == -1))
            kept_items.push_back(std::move(item));
    return kept_items;
}

} // namespace

std::vector<found_item> find_described(const text_query &query, const std::wstring &folder,
                                       int kind, bool deep, bool open_shares) {
    return find_items(query, folder, kind, deep, open_shares, true);
}

std::vector<found_item> kept_not_attached(bool open_shares) {
    return find_items(text_query(), std::wstring(), -1, false, open_shares, false);
}
