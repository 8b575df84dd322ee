#include "store/keep_records.h"

#include <cstring>

namespace {

// A word at a time: a keep file of a hundred thousand descriptions is read
// at the speed of memory.
uint32_t check_sum(const char *data, size_t size) {
    uint64_t h = 0xcbf29ce484222325ull ^ size;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        memcpy(&word, data + i, 8);
        h = (h ^ word) * 0x100000001b3ull;
        h ^= h >> 29;
    }
    for (; i < size; ++i)
        h = (h ^ static_cast<unsigned char>(data[i])) * 0x100000001b3ull;
    h ^= h >> 32;
    return static_cast<uint32_t>(h);
}

template <typename T> void put(char *&out, T value) {
    memcpy(out, &value, sizeof(value));
    out += sizeof(value);
}

template <typename T> T get(const char *&in) {
    T value;
    memcpy(&value, in, sizeof(value));
    in += sizeof(value);
    return value;
}

// The fields of the body at `body`, before any check of them.
keep_record_view view_body(const char *body, size_t size) {
    keep_record_view view;
    const char *in = body;
    uint8_t event = get<uint8_t>(in);
    uint8_t flags = get<uint8_t>(in);
    view.path_units = get<uint16_t>(in);
    view.icon_kind = get<int32_t>(in);
    view.code_page = get<uint32_t>(in);
    in += 4;
    view.time = get<uint64_t>(in);
    item_identity &id = view.identity;
    id.volume_serial = get<uint32_t>(in);
    view.text_bytes = get<uint16_t>(in);
    in += 2;
    id.file_id = get<uint64_t>(in);
    id.creation = get<uint64_t>(in);
    id.size = get<uint64_t>(in);
    id.last_write = get<uint64_t>(in);
    id.known = (flags & 1) != 0;
    view.event = static_cast<keep_event>(event);
    view.path = in;
    view.text = in + view.path_units * 2;
    view.length = 8 + size + 4;
    return view;
}

// True when the fields of a body of `size` bytes add up to its size and name
// a known event.
bool is_whole(const keep_record_view &view, size_t size) {
    uint8_t event = static_cast<uint8_t>(view.event);
    return event >= 1 && event <= 4 && view.text_bytes <= max_keep_text_bytes &&
           size == keep_fixed_bytes + view.path_units * 2 + view.text_bytes;
}

} // namespace

keep_record_view view_keep_record(const char *record) {
    uint32_t body_size;
    memcpy(&body_size, record + 4, 4);
    return view_body(record + 8, body_size);
}

void append_keep_record(const keep_entry &entry, std::string &out) {
    size_t path_units =
        entry.path.size() < max_keep_path_units ? entry.path.size() : max_keep_path_units;
    size_t text_bytes =
        strnlen(entry.text.c_str(),
                entry.text.size() < max_keep_text_bytes ? entry.text.size() : max_keep_text_bytes);
    uint32_t body_size = static_cast<uint32_t>(keep_fixed_bytes + path_units * 2 + text_bytes);
    size_t at = out.size();
    out.resize(at + 8 + body_size + 4);
    char *o = &out[at];
    put<uint32_t>(o, keep_record_marker);
    put<uint32_t>(o, body_size);
    char *body = o;
    const item_identity &id = entry.identity;
    put<uint8_t>(o, static_cast<uint8_t>(entry.event));
    put<uint8_t>(o, id.known ? 1 : 0);
    put<uint16_t>(o, static_cast<uint16_t>(path_units));
    put<int32_t>(o, entry.icon_kind);
    put<uint32_t>(o, entry.code_page);
    put<uint32_t>(o, 0);
    put<uint64_t>(o, entry.time);
    put<uint32_t>(o, id.volume_serial);
    put<uint16_t>(o, static_cast<uint16_t>(text_bytes));
    put<uint16_t>(o, 0);
    put<uint64_t>(o, id.file_id);
    put<uint64_t>(o, id.creation);
    put<uint64_t>(o, id.size);
    put<uint64_t>(o, id.last_write);
    if (path_units)
        memcpy(o, entry.path.data(), path_units * 2);
    o += path_units * 2;
    memcpy(o, entry.text.data(), text_bytes);
    o += text_bytes;
    put<uint32_t>(o, check_sum(body, body_size));
}

namespace {

enum class record_read { whole, cut_short, bad, exhausted };

// The record at `pos`: whole (its fields in `view`), cut short by the end
// of the data, or no record.
record_read record_at(const char *data, size_t size, size_t pos, keep_record_view &view,
                      size_t &budget) {
    const size_t most_body = keep_fixed_bytes + max_keep_path_units * 2 + max_keep_text_bytes;
    uint32_t marker, body_size;
    size_t left = size - pos;
    if (left < 4)
        return record_read::cut_short;
    memcpy(&marker, data + pos, 4);
    if (marker != keep_record_marker)
        return record_read::bad;
    if (left < 8)
        return record_read::cut_short;
    memcpy(&body_size, data + pos + 4, 4);
    if (body_size < keep_fixed_bytes || body_size > most_body)
        return record_read::bad;
    if (left - 8 < size_t(body_size) + 4)
        return record_read::cut_short;
    const char *body = data + pos + 8;
    uint32_t sum;
    memcpy(&sum, body + body_size, 4);
    // Damage that looks like many long records overlapping would have every
    // one summed: the sums a walk may take are bounded by its size.
    if (body_size > budget)
        return record_read::exhausted;
    budget -= body_size;
    if (sum != check_sum(body, body_size))
        return record_read::bad;
    view = view_body(body, body_size);
    return is_whole(view, body_size) ? record_read::whole : record_read::bad;
}

// The next marker after `pos` from which a whole record reads; npos for none.
size_t next_whole_record(const char *data, size_t size, size_t pos, size_t &budget) {
    keep_record_view scratch;
    for (size_t from = pos + 1; size - from >= 8;) {
        const void *hit = memchr(data + from, keep_record_marker & 0xFF, size - from - 3);
        if (!hit)
            break;
        size_t at = static_cast<const char *>(hit) - data;
        record_read read = record_at(data, size, at, scratch, budget);
        if (read == record_read::whole)
            return at;
        if (read == record_read::exhausted)
            break;
        from = at + 1;
    }
    return std::string::npos;
}

} // namespace

bool walk_keep_views(const char *data, size_t size, size_t &complete,
                     const std::function<void(const keep_record_view &, size_t offset)> &found) {
    bool clean = true;
    keep_record_view view;
    size_t pos = 0;
    size_t budget = 2 * size + (1u << 20);
    while (pos < size) {
        record_read read = record_at(data, size, pos, view, budget);
        if (read == record_read::whole) {
            found(view, pos);
            pos += view.length;
            continue;
        }
        // A record cut short by the end is an append still under way, or
        // torn: a later read starts at it again, unless whole records follow
        // it, which makes it damage.
        size_t next = read == record_read::exhausted ? std::string::npos
                                                     : next_whole_record(data, size, pos, budget);
        if (next == std::string::npos) {
            bool waiting = read == record_read::cut_short && budget > 0;
            complete = waiting ? pos : size;
            return clean && waiting;
        }
        clean = false;
        pos = next;
    }
    complete = pos;
    return clean;
}

keep_entry keep_entry_from(const keep_record_view &view) {
    keep_entry entry;
    entry.event = view.event;
    entry.icon_kind = view.icon_kind;
    entry.code_page = view.code_page;
    entry.time = view.time;
    entry.identity = view.identity;
    entry.path.resize(view.path_units);
    if (view.path_units)
        memcpy(&entry.path[0], view.path, view.path_units * 2);
    entry.text.assign(view.text, view.text_bytes);
    return entry;
}

bool walk_keep_records(const char *data, size_t size, size_t &complete,
                       const std::function<void(const keep_entry &, size_t offset)> &found) {
    return walk_keep_views(data, size, complete, [&](const keep_record_view &view, size_t offset) {
        found(keep_entry_from(view), offset);
    });
}
