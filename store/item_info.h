#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "store/keep_records.h"

// Key of a path in the index: h = h * 33 + code unit over the UTF-16 path,
// case-sensitive and unnormalised. Throws hresult_error(E_FAIL) for null.
uint32_t path_hash(const wchar_t *path);

struct hresult_error {
    HRESULT code;
};

// Longest description text the stream holds, and the record around it.
constexpr size_t max_description_bytes = 2048;
constexpr size_t max_record_bytes = 4 + max_description_bytes;
constexpr size_t read_buffer_bytes = 2054;

// Index file records start with this marker.
constexpr uint32_t index_record_marker = 0xC001DEEC;
// The reader's path buffer: longer paths mark a damaged record.
constexpr uint32_t max_index_path_bytes = 259;

// One described item: its marker kind and path, with the description itself
// in the item's ":plivar" stream.
class item_info {
  public:
    item_info() = default;
    // `path` stays empty when the UTF-16 path has no exact ANSI form; the
    // index refuses such paths before it makes a record.
    item_info(int32_t kind, const wchar_t *wide_path);

    // Writes the kind and, unless text is null, the text (cut to 2048 bytes)
    // and cuts the stream after it. A null text rewrites the kind alone and
    // keeps the stored text. 0 or a system error code.
    // `identity`, when given, receives the item's identity after the write.
    DWORD write_description(const char *text, item_identity *identity = nullptr) const;
    // Writes the description back into a stream a program dropped, when
    // the item is the one `recorded` (any item when null) or its
    // replacement; the item's times stay as they were. `now` receives the
    // item's identity. 0; ERROR_OBJECT_NOT_FOUND for an unrelated item;
    // ERROR_FILE_EXISTS when the item carries a stream again; or the error
    // met.
    DWORD write_back(const char *text, const item_identity *recorded, item_identity &now) const;
    // 0 once the item and its stream opened; text is set only when the
    // record holds one (5 to 2052 bytes), `kind` (may be null) whenever the
    // stream holds the four bytes of one.
    DWORD read_description(std::string &text, int32_t *kind = nullptr) const;
    // read_description without opening the item itself: for a pass over
    // every described item, where holding each item while its stream is
    // read would be a second open that protects nothing a reader needs.
    DWORD read_stream(std::string &text, int32_t *kind = nullptr) const;
    // What merge_description found and did.
    enum class merge_outcome { written, in_place, kept };
    // Writes the kind and text (cut to 2048 bytes) unless the stream holds
    // them already, or holds a text and `keep_text` is set. With `keep_kind`
    // a stream's own kind 0-5 is written instead of icon_kind. The look and
    // the write go through one open of the stream, so nothing changes in
    // between; the item is opened too only to create a stream. `held_kind`
    // receives the kind the stream held, -1 for none. 0 or a system error
    // code. `stream_expected` only chooses which open comes first: the
    // stream's, or, when the stream is likely gone, the item's, which spares
    // a failed open.
    DWORD merge_description(const char *text, bool keep_text, bool keep_kind,
                            merge_outcome &outcome, int32_t &held_kind,
                            bool stream_expected = true) const;
    // What merge_description would do, changing nothing: the stream is only
    // read. 0 or the error the merge would meet opening the item.
    DWORD preview_merge(const char *text, bool keep_text, bool keep_kind,
                        merge_outcome &outcome) const;
    // 0 when the stream is gone afterwards (also when there was none or the
    // item is gone), else the error that kept it.
    DWORD delete_description() const;

    // Appends this item's index record to `out`.
    void save_record(std::string &out) const;
    size_t record_size() const { return 24 + path.size(); }
    // Writes the index record at `out`, which has record_size() bytes;
    // returns the position after it.
    char *save_record(char *out) const;
    // Parses one index record at `pos`: 1 read (pos moves past it), 0 clean
    // end (fewer than 4 bytes left), -1 damaged.
    int load_record(const char *&pos, const char *end);

    uint64_t reserved = 0;
    int32_t icon_kind = 0;
    std::string path; // ANSI, system code page
    uint32_t key = 0;
};

// The name the file system is given for a plain full path: a name past
// MAX_PATH reaches it only in its "\\?\" form in a host that is not
// long-path aware (every Explorer), and that form names the same item.
std::wstring openable(const std::wstring &path);

// The kind stored in the stream of `path`, or -1 without a readable stream.
int32_t read_icon_kind(const wchar_t *path);

// Reads a description record of `size` bytes: `kind` (may be null) from the
// first four, and `text` from the rest up to an embedded zero byte, only
// when the record is 5 to 2052 bytes long. Reads nothing beyond `size`.
void parse_description_record(const char *data, size_t size, std::string &text, int32_t *kind);
