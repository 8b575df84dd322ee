#include "store/item_info.h"

#include <cstring>

#include "module/win_handles.h"
#include "store/path_text.h"

namespace {

const wchar_t stream_suffix[] = L":plivar";

// The item and its stream are both named from the exact UTF-16 form of the
// stored path; a path that has none reaches no file at all.
bool names_of(const std::string &ansi_path, std::wstring &item, std::wstring &stream) {
    if (ansi_path.empty() || !wide_path_of(ansi_path, item))
        return false;
    stream = item + stream_suffix;
    return true;
}

HANDLE open_item_for_write(const std::wstring &path) {
    return CreateFileW(path.c_str(), FILE_WRITE_EA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

DWORD read_stream_record(const std::wstring &stream_name, std::string &text, int32_t *kind) {
    ScopedFile stream(CreateFileW(stream_name.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (!stream.valid())
        return GetLastError();
    char buffer[read_buffer_bytes];
    DWORD n = 0;
    if (ReadFile(stream.get(), buffer, read_buffer_bytes, &n, nullptr))
        parse_description_record(buffer, n, text, kind);
    return ERROR_SUCCESS;
}

template <typename T> bool take(const char *&pos, const char *end, T &value) {
    if (static_cast<size_t>(end - pos) < sizeof(value))
        return false;
    memcpy(&value, pos, sizeof(value));
    pos += sizeof(value);
    return true;
}

} // namespace

uint32_t path_hash(const wchar_t *path) {
    if (!path)
        throw hresult_error{E_FAIL};
    uint32_t h = 0;
    for (; *path; ++path)
        h = (h << 5) + h + static_cast<uint16_t>(*path);
    return h;
}

item_info::item_info(int32_t kind, const wchar_t *wide_path)
    : icon_kind(kind), key(path_hash(wide_path)) {
    ansi_path_of(wide_path, path);
}

DWORD item_info::write_description(const char *text) const {
    char record[max_record_bytes];
    memcpy(record, &icon_kind, 4);
    size_t length = text ? strnlen(text, max_description_bytes) : 0;
    memcpy(record + 4, text ? text : "", length);
    DWORD size = static_cast<DWORD>(4 + length);

    std::wstring item_name, stream_name;
    if (!names_of(path, item_name, stream_name))
        return ERROR_NO_UNICODE_TRANSLATION;
    ScopedFile item(open_item_for_write(item_name));
    if (!item.valid())
        return GetLastError();
    ScopedFile stream(CreateFileW(stream_name.c_str(), FILE_READ_DATA | FILE_WRITE_DATA,
                                  FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!stream.valid())
        return GetLastError();
    DWORD written = 0;
    if (!WriteFile(stream.get(), record, size, &written, nullptr))
        return GetLastError();
    if (written != size)
        return ERROR_WRITE_FAULT;
    // A shorter text must not leave the tail of a longer one behind it.
    if (text && !SetEndOfFile(stream.get()))
        return GetLastError();
    return ERROR_SUCCESS;
}

DWORD item_info::merge_description(const char *text, bool keep_text, bool keep_kind,
                                   merge_outcome &outcome, int32_t &held_kind,
                                   bool stream_expected) const {
    held_kind = -1;
    std::wstring item_name, stream_name;
    if (!text || !names_of(path, item_name, stream_name))
        return ERROR_NO_UNICODE_TRANSLATION;
    // An open stream holds its item as an open item would: without delete
    // sharing neither can go while the stream is read and written.
    ScopedFile stream;
    if (stream_expected) {
        stream.reset(CreateFileW(stream_name.c_str(), FILE_READ_DATA | FILE_WRITE_DATA,
                                 FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        DWORD error = stream.valid() ? ERROR_SUCCESS : GetLastError();
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
            return error;
    }
    ScopedFile item;
    if (!stream.valid()) {
        // Creating a stream would create a missing item: the item is opened
        // first, as a write does.
        item.reset(open_item_for_write(item_name));
        if (!item.valid())
            return GetLastError();
        stream.reset(CreateFileW(stream_name.c_str(), FILE_READ_DATA | FILE_WRITE_DATA,
                                 FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr));
        if (!stream.valid())
            return GetLastError();
    }
    char buffer[read_buffer_bytes];
    DWORD held_size = 0;
    if (!ReadFile(stream.get(), buffer, read_buffer_bytes, &held_size, nullptr))
        return GetLastError();
    std::string held_text;
    parse_description_record(buffer, held_size, held_text, &held_kind);
    if (held_size < 4)
        held_kind = -1;

    int32_t kind = keep_kind && held_kind >= 0 && held_kind <= 5 ? held_kind : icon_kind;
    size_t length = strnlen(text, max_description_bytes);
    if (held_kind == kind && held_text.size() == length &&
        held_text.compare(0, length, text) == 0) {
        outcome = merge_outcome::in_place;
        return ERROR_SUCCESS;
    }
    if (keep_text && !held_text.empty()) {
        outcome = merge_outcome::kept;
        return ERROR_SUCCESS;
    }
    char record[max_record_bytes];
    memcpy(record, &kind, 4);
    memcpy(record + 4, text, length);
    DWORD size = static_cast<DWORD>(4 + length);
    DWORD written = 0;
    if (SetFilePointer(stream.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !WriteFile(stream.get(), record, size, &written, nullptr))
        return GetLastError();
    if (written != size)
        return ERROR_WRITE_FAULT;
    if (!SetEndOfFile(stream.get()))
        return GetLastError();
    outcome = merge_outcome::written;
    return ERROR_SUCCESS;
}

DWORD item_info::read_description(std::string &text, int32_t *kind) const {
    std::wstring item_name, stream_name;
    if (!names_of(path, item_name, stream_name))
        return ERROR_NO_UNICODE_TRANSLATION;
    ScopedFile item(CreateFileW(item_name.c_str(), FILE_READ_EA, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!item.valid())
        return GetLastError();
    return read_stream_record(stream_name, text, kind);
}

DWORD item_info::read_stream(std::string &text, int32_t *kind) const {
    std::wstring item_name, stream_name;
    if (!names_of(path, item_name, stream_name))
        return ERROR_NO_UNICODE_TRANSLATION;
    return read_stream_record(stream_name, text, kind);
}

void parse_description_record(const char *data, size_t size, std::string &text, int32_t *kind) {
    if (kind && size >= 4)
        memcpy(kind, data, 4);
    if (size > 4 && size <= max_record_bytes)
        text.assign(data + 4, strnlen(data + 4, size - 4)); // ends at an embedded zero byte
}

DWORD item_info::delete_description() const {
    std::wstring item_name, stream_name;
    if (!names_of(path, item_name, stream_name))
        return ERROR_INVALID_NAME;
    ScopedFile item(open_item_for_write(item_name));
    if (!item.valid()) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS
                                                                              : error;
    }
    if (DeleteFileW(stream_name.c_str()))
        return ERROR_SUCCESS;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
}

void item_info::save_record(std::string &out) const {
    size_t at = out.size();
    out.resize(at + record_size());
    save_record(&out[at]);
}

char *item_info::save_record(char *out) const {
    uint32_t length = static_cast<uint32_t>(path.size());
    memcpy(out, &index_record_marker, 4);
    memcpy(out + 4, &key, 4);
    memcpy(out + 8, &length, 4);
    memcpy(out + 12, path.data(), length);
    memcpy(out + 12 + length, &reserved, 8);
    memcpy(out + 20 + length, &icon_kind, 4);
    return out + 24 + length;
}

int item_info::load_record(const char *&pos, const char *end) {
    const char *p = pos;
    uint32_t marker = 0, length = 0;
    if (!take(p, end, marker))
        return 0;
    if (marker != index_record_marker || !take(p, end, key) || !take(p, end, length) ||
        length > max_index_path_bytes || static_cast<size_t>(end - p) < length)
        return -1;
    // No path holds a control character: one there means the record was
    // torn, and what follows its length belongs to another record.
    size_t used = strnlen(p, length);
    for (size_t i = 0; i < used; ++i)
        if (static_cast<unsigned char>(p[i]) < 0x20)
            return -1;
    path.assign(p, used);
    p += length;
    if (!take(p, end, reserved) || !take(p, end, icon_kind))
        return -1;
    pos = p;
    return 1;
}

int32_t read_icon_kind(const wchar_t *path) {
    if (!path)
        return -1;
    ScopedFile item(CreateFileW(path, FILE_READ_EA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!item.valid())
        return -1;
    std::wstring stream_name = std::wstring(path) + stream_suffix;
    ScopedFile stream(CreateFileW(stream_name.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (!stream.valid())
        return -1;
    int32_t kind = 0;
    DWORD n = 0;
    if (!ReadFile(stream.get(), &kind, sizeof(kind), &n, nullptr) || n != sizeof(kind))
        return -1;
    return kind;
}
