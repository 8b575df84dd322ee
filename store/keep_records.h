#pragma once

#include <cstdint>
#include <functional>
#include <string>

// keep.dat: this user's own record of every description the product wrote
// or removed, so that a description whose stream a program dropped can be
// written back. A header, then records appended one after another:
//
//   marker "QVk1" | u32 body size | body | u32 check sum of the body
//
// The body holds the event, the marker kind, the code page the text was
// written in, the time, the item's identity when it was written, then the
// UTF-16 path and the text as stored. The check sum makes a torn or damaged
// record read as damage, never as a record.

// What the item was when its description was written: enough to tell the
// same item, its replacement and an unrelated file of the same name apart.
struct item_identity {
    bool known = false;
    uint32_t volume_serial = 0;
    uint64_t file_id = 0;
    uint64_t creation = 0; // FILETIMEs as 100 ns counts
    uint64_t size = 0;
    uint64_t last_write = 0;
};

enum class keep_event : uint8_t {
    described = 1, // the text written, as stored
    removed = 2,   // a removal through the product
    recovered = 3, // the text written back after a program dropped it
    checked = 4,   // a check listed what was recovered before it (no path)
};

struct keep_entry {
    keep_event event = keep_event::described;
    int32_t icon_kind = 0;
    uint32_t code_page = 0;
    uint64_t time = 0;
    item_identity identity;
    std::wstring path;
    std::string text;
};

constexpr char keep_file_header[8] = {'Q', 'V', 'K', 'E', 'E', 'P', '\r', '\n'};
constexpr uint32_t keep_record_marker = 0x316B5651; // "QVk1"
constexpr size_t keep_fixed_bytes = 64;
constexpr size_t max_keep_path_units = 32767;
constexpr size_t max_keep_text_bytes = 2048;

// The fields of a whole record at `record`, as walk_keep_records met it,
// read in place.
struct keep_record_view {
    keep_event event;
    int32_t icon_kind;
    uint32_t code_page;
    uint64_t time;
    item_identity identity;
    const char *path; // UTF-16, not aligned
    size_t path_units;
    const char *text;
    size_t text_bytes;
    size_t length; // of the whole record
};
keep_record_view view_keep_record(const char *record);

// Appends the record of `entry` to `out`; the text is cut to 2048 bytes and
// the path to 32,767 units.
void append_keep_record(const keep_entry &entry, std::string &out);

// Walks the records of `size` bytes (after the header) in file order,
// handing each to `found` with its offset. Damage is skipped up to the next
// marker from which a whole record reads. A record cut short by the end
// stops the walk: `complete` receives the offset where whole records end,
// where a later read goes on. False when damage was met before that.
// Reads nothing outside the `size` bytes.
bool walk_keep_records(const char *data, size_t size, size_t &complete,
                       const std::function<void(const keep_entry &, size_t offset)> &found);

// walk_keep_records handing each record's fields in place, for a reader that
// keeps the bytes.
bool walk_keep_views(const char *data, size_t size, size_t &complete,
                     const std::function<void(const keep_record_view &, size_t offset)> &found);
keep_entry keep_entry_from(const keep_record_view &view);
