#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/info_holder.h"

// What a user looks for: words that must all appear in an item's path or
// description, without regard to case in the system code page. One query
// serves one thread.
class text_query {
  public:
    text_query();
    // False when a word has no exact form in the system code page: no
    // stored text can hold it.
    bool set(const wchar_t *query);
    bool empty() const { return words_.empty(); }
    // True when every word is in `path` or in `text` (both ANSI).
    bool matches(std::string_view path, std::string_view text) const;

  private:
    bool contains(std::string_view haystack, const std::string &word) const;

    std::vector<std::string> words_; // folded
    mutable std::string folded_;     // the text being searched, folded
    unsigned char fold_[256];
    bool double_byte_;
    unsigned code_page_;
};

// The texts this user's keep file holds for `records`, in their order:
// empty for a record the keep file holds no description of. Opens no item.
std::vector<std::string> kept_texts_of(const std::vector<CInfoHolder::record_ptr> &records);

struct found_item {
    std::wstring path;
    int32_t icon_kind = 0;
    std::string text; // as kept or read; empty when neither is known
    bool text_known = false;
    // False for a kept description whose item was replaced by an
    // unrelated file: it is not on the item.
    bool attached = true;
};

// Every described item under `folder` (all when empty) of `kind` (any when
// -1) whose path or description matches `query`: the index's items with
// their kept texts, and kept descriptions whose item was replaced. With
// `deep` the streams of indexed items the keep file does not hold are read
// too (on shares only with `open_shares`). Sorted by path as Explorer
// sorts.
std::vector<found_item> find_described(const text_query &query, const std::wstring &folder,
                                       int kind, bool deep, bool open_shares);

// The kept descriptions that are on no item: their path is not in the index
// and its item is there without a description (an unrelated file took the
// name). Items on shares are looked at only with `open_shares`.
std::vector<found_item> kept_not_attached(bool open_shares);
