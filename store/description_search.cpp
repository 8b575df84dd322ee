#include "store/description_search.h"

#include <unordered_map>

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

// The kept paths by key, for a lookup per index record.
class kept_lookup {
  public:
    explicit kept_lookup(std::vector<CKeepFile::kept_path> &&paths) : paths_(std::move(paths)) {
        by_key_.reserve(paths_.size());
        for (size_t i = 0; i < paths_.size(); ++i)
            by_key_.emplace(paths_[i].key, i);
    }
    // The kept path of `record`; null when there is none.
    CKeepFile::kept_path *of(const item_info &record) {
        for (auto [at, end] = by_key_.equal_range(record.key); at != end; ++at)
            if (same_path(record.path.c_str(), paths_[at->second].path.c_str()))
                return &paths_[at->second];
        return nullptr;
    }
    std::vector<CKeepFile::kept_path> &paths() { return paths_; }

  private:
    std::vector<CKeepFile::kept_path> paths_;
    std::unordered_multimap<uint32_t, size_t> by_key_;
};

// The description a kept path holds now; false after a removal, or when
// its text has no form in this code page.
bool kept_description(const CKeepFile::kept_path &kept, std::string &text, int32_t *kind) {
    const keep_entry *last = kept.last_change();
    if (!last || last->event == keep_event::removed || !kept_text_in_system_code_page(*last, text))
        return false;
    if (kind)
        *kind = last->icon_kind;
    return true;
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
    size_t n = word.size();
    if (n > haystack.size())
        return false;
    const unsigned char first = static_cast<unsigned char>(word[0]);
    for (size_t i = 0; i + n <= haystack.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(haystack[i]);
        if (fold_[c] == first) {
            size_t j = 1;
            while (j < n && fold_[static_cast<unsigned char>(haystack[i + j])] ==
                                static_cast<unsigned char>(word[j]))
                ++j;
            if (j == n)
                return true;
        }
        // A match starts on a character, never on the second byte of one.
        if (double_byte_ && IsDBCSLeadByteEx(code_page_, c))
            ++i;
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
    std::vector<CKeepFile::kept_path> paths;
    keep_file.read_all(paths);
    kept_lookup kept(std::move(paths));
    std::vector<std::string> texts(records.size());
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i])
            if (CKeepFile::kept_path *held = kept.of(*records[i]))
                kept_description(*held, texts[i], nullptr);
    return texts;
}

std::vector<found_item> find_described(const text_query &query, const std::wstring &folder,
                                       int kind, bool deep, bool open_shares) {
    std::vector<CKeepFile::kept_path> paths;
    keep_file.read_all(paths);
    kept_lookup kept(std::move(paths));
    std::vector<found_item> found;
    std::vector<bool> in_index(kept.paths().size());
    for (const CInfoHolder::record_ptr &record : info_holder.records()) {
        if (kind >= 0 && record->icon_kind != kind)
            continue;
        found_item item;
        item.icon_kind = record->icon_kind;
        CKeepFile::kept_path *held = kept.of(*record);
        if (held) {
            in_index[held - kept.paths().data()] = true;
            item.text_known = kept_description(*held, item.text, nullptr);
        }
        // Only a plain full path is ever opened: files.dat is anyone's.
        bool wide_known = false;
        if (!item.text_known && deep && wide_path_of(record->path, item.path) &&
            is_canonical_full_path(item.path.c_str()) && is_in_folder(folder, item.path) &&
            (open_shares || !on_share(item.path))) {
            wide_known = true;
            item.text_known = record->read_stream(item.text) == ERROR_SUCCESS;
        }
        if (!query.matches(record->path, item.text))
            continue;
        if (!wide_known && !wide_path_of(record->path, item.path))
            continue;
        if (!is_in_folder(folder, item.path))
            continue;
        found.push_back(std::move(item));
    }
    for (size_t i = 0; i < kept.paths().size(); ++i) {
        const CKeepFile::kept_path &held = kept.paths()[i];
        found_item item;
        std::string ansi_path;
        if (in_index[i] || !kept_description(held, item.text, &item.icon_kind) ||
            (kind >= 0 && item.icon_kind != kind) || !is_in_folder(folder, held.path) ||
            !ansi_path_of(held.path.c_str(), ansi_path) || !query.matches(ansi_path, item.text))
            continue;
        item.path = held.path;
        item.text_known = true;
        item.attached = false;
        found.push_back(std::move(item));
    }
    // A kept description whose item is gone altogether names nothing to find.
    std::vector<found_item> kept_items;
    for (found_item &item : found)
        if (item.attached ||
            ((open_shares || !on_share(item.path)) &&
             GetFileAttributesW(openable(item.path).c_str()) != INVALID_FILE_ATTRIBUTES &&
             read_icon_kind(item.path.c_str()) == -1))
            kept_items.push_back(std::move(item));
    return kept_items;
}

std::vector<found_item> kept_not_attached(bool open_shares) {
    text_query everything;
    std::vector<found_item> all = find_described(everything, std::wstring(), -1, false, open_shares);
    std::vector<found_item> kept;
    for (found_item &item : all)
        if (!item.attached)
            kept.push_back(std::move(item));
    return kept;
}
