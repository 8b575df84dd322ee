#include "store/item_info.h"

#include <cstring>

#include "module/win_handles.h"
#include "store/keep_file.h"
#include "store/path_text.h"

namespace {

const wchar_t stream_suffix[] = L":plivar";

// No server an item's name leads to may act as the caller.
const DWORD no_impersonation = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// The item and its stream are both named from the exact UTF-16 form of the
// stored path; a path that has none, or that is not a plain full path (a
// relative, device or pipe name planted in files.dat), reaches no file.
DWORD names_of(const std::string &ansi_path, std::wstring &item, std::wstring &stream) {
    std::wstring wide;
    if (ansi_path.empty() || !wide_path_of(ansi_path, wide))
        return ERROR_NO_UNICODE_TRANSLATION;
    if (!is_canonical_full_path(wide.c_str()))
        return ERROR_INVALID_NAME;
    item = openable(wide);
    stream = openable(wide + stream_suffix);
    return ERROR_SUCCESS;
}

HANDLE open_item_for_write(const std::wstring &path,
                           DWORD access = FILE_WRITE_EA | FILE_READ_ATTRIBUTES) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | no_impersonation, nullptr);
}

HANDLE open_item_for_read(const std::wstring &path) {
    return CreateFileW(path.c_str(), FILE_READ_EA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | no_impersonation, nullptr);
}

HANDLE open_stream_for_write(const std::wstring &stream_name, DWORD disposition) {
    return CreateFileW(stream_name.c_str(), FILE_READ_DATA | FILE_WRITE_DATA, FILE_SHARE_WRITE,
                       nullptr, disposition, no_impersonation, nullptr);
}

// Writes the record of `size` bytes at the start of the stream; with
// `set_end` the stream ends after it. A shorter record than the stream
// holds is followed by a zero byte, which ends the text for a reader: a
// process killed before the end is set leaves the new text, never the new
// text with the tail of the old one. `record` has room for that byte.
DWORD put_record(HANDLE stream, char *record, DWORD size, bool set_end) {
    LARGE_INTEGER held = {}, at = {};
    DWORD length = size;
    if (set_end && GetFileSizeEx(stream, &held) && held.QuadPart > size)
        record[length++] = '\0';
    DWORD written = 0;
    if (!SetFilePointerEx(stream, at, nullptr, FILE_BEGIN) ||
        !WriteFile(stream, record, length, &written, nullptr))
        return GetLastError();
    if (written != length)
        return ERROR_WRITE_FAULT;
    at.QuadPart = size;
    if (set_end &&
        (!SetFilePointerEx(stream, at, nullptr, FILE_BEGIN) || !SetEndOfFile(stream)))
        return GetLastError();
    return ERROR_SUCCESS;
}

// What a merge of `text` does with a stream that holds `held_size` bytes:
// `kind` is the kind it writes, `held_kind` the stream's own (-1 for none).
item_info::merge_outcome decide_merge(const char *held, DWORD held_size, const char *text,
                                      bool keep_text, bool keep_kind, int32_t wanted_kind,
                                      int32_t &kind, int32_t &held_kind) {
    std::string held_text;
    held_kind = -1;
    parse_description_record(held, held_size, held_text, &held_kind);
    if (held_size < 4)
        held_kind = -1;
    kind = keep_kind && held_kind >= 0 && held_kind <= 5 ? held_kind : wanted_kind;
    size_t length = strnlen(text, max_description_bytes);
    if (held_kind == kind && held_text.size() == length &&
        held_text.compare(0, length, text) == 0)
        return item_info::merge_outcome::in_place;
    if (keep_text && !held_text.empty())
        return item_info::merge_outcome::kept;
    return item_info::merge_outcome::written;
}

DWORD read_stream_record(const std::wstring &stream_name, std::string &text, int32_t *kind) {
    ScopedFile stream(CreateFileW(stream_name.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, no_impersonation, nullptr));
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

DWORD item_info::write_description(const char *text, item_identity *identity) const {
    char record[max_record_bytes + 1];
    memcpy(record, &icon_kind, 4);
    size_t length = text ? strnlen(text, max_description_bytes) : 0;
    memcpy(record + 4, text ? text : "", length);
    DWORD size = static_cast<DWORD>(4 + length);

    std::wstring item_name, stream_name;
    DWORD refused = names_of(path, item_name, stream_name);
    if (refused != ERROR_SUCCESS)
        return refused;
    ScopedFile item(open_item_for_write(item_name));
    if (!item.valid())
        return GetLastError();
    ScopedFile stream(open_stream_for_write(stream_name, OPEN_ALWAYS));
    if (!stream.valid())
        return GetLastError();
    // A null text rewrites the kind alone and keeps the stored text.
    DWORD code = put_record(stream.get(), record, size, text != nullptr);
    stream.reset();
    if (identity && code == ERROR_SUCCESS)
        *identity = identity_of_handle(item.get());
    return code;
}

DWORD item_info::write_back(const char *text, const item_identity *recorded,
                            item_identity &now) const {
    std::wstring item_name, stream_name;
    DWORD refused = names_of(path, item_name, stream_name);
    if (refused != ERROR_SUCCESS)
        return refused;
    ScopedFile item(open_item_for_write(item_name, FILE_WRITE_EA | FILE_READ_ATTRIBUTES |
                                                       FILE_WRITE_ATTRIBUTES));
    if (!item.valid())
        return GetLastError();
    now = identity_of_handle(item.get());
    if (recorded && !is_same_or_replacement(*recorded, now))
        return ERROR_OBJECT_NOT_FOUND;
    FILETIME created, accessed, written;
    if (!GetFileTime(item.get(), &created, &accessed, &written))
        return GetLastError();
    char record[max_record_bytes + 1];
    memcpy(record, &icon_kind, 4);
    size_t length = strnlen(text, max_description_bytes);
    memcpy(record + 4, text, length);
    // Never over a stream written meanwhile: that description is newer.
    ScopedFile stream(open_stream_for_write(stream_name, CREATE_NEW));
    if (!stream.valid())
        return GetLastError();
    DWORD code = put_record(stream.get(), record, static_cast<DWORD>(4 + length), true);
    stream.reset();
    // A note written back does not make the item look changed to backup
    // and sync tools.
    SetFileTime(item.get(), &created, &accessed, &written);
    return code;
}

DWORD item_info::merge_description(const char *text, bool keep_text, bool keep_kind,
                                   merge_outcome &outcome, int32_t &held_kind,
                                   bool stream_expected) const {
    held_kind = -1;
    std::wstring item_name, stream_name;
    if (!text)
        return ERROR_INVALID_PARAMETER;
    DWORD refused = names_of(path, item_name, stream_name);
    if (refused != ERROR_SUCCESS)
        return refused;
    // An open stream holds its item as an open item would: without delete
    // sharing neither can go while the stream is read and written.
    ScopedFile stream;
    if (stream_expected) {
        stream.reset(open_stream_for_write(stream_name, OPEN_EXISTING));
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
        stream.reset(open_stream_for_write(stream_name, OPEN_ALWAYS));
        if (!stream.valid())
            return GetLastError();
    }
    char buffer[read_buffer_bytes];
    DWORD held_size = 0;
    if (!ReadFile(stream.get(), buffer, read_buffer_bytes, &held_size, nullptr))
        return GetLastError();
    int32_t kind;
    outcome = decide_merge(buffer, held_size, text, keep_text, keep_kind, icon_kind, kind,
                           held_kind);
    if (outcome != merge_outcome::written)
        return ERROR_SUCCESS;
    size_t length = strnlen(text, max_description_bytes);
    char record[max_record_bytes + 1];
    memcpy(record, &kind, 4);
    memcpy(record + 4, text, length);
    return put_record(stream.get(), record, static_cast<DWORD>(4 + length), true);
}

DWORD item_info::preview_merge(const char *text, bool keep_text, bool keep_kind,
                               merge_outcome &outcome) const {
    std::wstring item_name, stream_name;
    if (!text)
        return ERROR_INVALID_PARAMETER;
    DWORD refused = names_of(path, item_name, stream_name);
    if (refused != ERROR_SUCCESS)
        return refused;
    char buffer[read_buffer_bytes];
    DWORD held_size = 0;
    ScopedFile stream(CreateFileW(stream_name.c_str(), FILE_READ_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  no_impersonation, nullptr));
    if (stream.valid()) {
        if (!ReadFile(stream.get(), buffer, read_buffer_bytes, &held_size, nullptr))
            return GetLastError();
    } else {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            return error;
        ScopedFile item(open_item_for_read(item_name));
        if (!item.valid())
            return GetLastError();
    }
    int32_t kind, held_kind;
    outcome = decide_merge(buffer, held_size, text, keep_text, keep_kind, icon_kind, kind,
                           held_kind);
    return ERROR_SUCCESS;
}

DWORD item_info::read_description(std::string &text, int32_t *kind) const {
    std::wstring item_name, stream_name;
    DWORD refused = names_of(path, item_name, stream_name);
    if (refused != ERROR_SUCCESS)
        return refused;
    ScopedFile item(open_item_for_read(item_name));
    if (!item.valid())
        return GetLastError();
    return read_stream_record(stream_name, text, kind);
}

DWORD item_info::read_stream(std::string &text, int32_t *kind) const {
    std::wstring item_name, stream_name;
    DWORD refused = names_of(path, item_name, stream_name);
    if (refused != ERROR_SUCCESS)
        return refused;
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
    DWORD refused = names_of(path, item_name, stream_name);
    if (refused != ERROR_SUCCESS)
        return refused;
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
    if (!path || !is_canonical_full_path(path))
        return -1;
    ScopedFile item(open_item_for_read(openable(path)));
    if (!item.valid())
        return -1;
    std::wstring stream_name = openable(std::wstring(path) + stream_suffix);
    ScopedFile stream(CreateFileW(stream_name.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, no_impersonation, nullptr));
    if (!stream.valid())
        return -1;
    int32_t kind = 0;
    DWORD n = 0;
    if (!ReadFile(stream.get(), &kind, sizeof(kind), &n, nullptr) || n != sizeof(kind))
        return -1;
    return kind;
}

std::wstring openable(const std::wstring &path) {
    if (path.size() < MAX_PATH)
        return path;
    if (path.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}
