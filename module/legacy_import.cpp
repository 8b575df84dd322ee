#include "module/legacy_import.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "module/win_handles.h"
#include "store/info_holder.h"
#include "store/path_text.h"

namespace {

const uint16_t record_marker = 0x0129;
const int32_t max_folder_name = 260;
const int32_t max_buffered = 1023; // names and texts pass a 1024-byte buffer

// Bounds-checked reading of little-endian fields from a byte string.
class Reader {
  public:
    explicit Reader(std::string_view bytes) : pos_(bytes.data()), end_(pos_ + bytes.size()) {}

    bool int32(int32_t &value) { return take(&value, 4); }
    bool marker() {
        uint16_t value = 0;
        return take(&value, 2) && value == record_marker;
    }
    bool text(int32_t length, std::string &out) {
        if (length < 0 || remaining() < static_cast<size_t>(length))
            return false;
        out.assign(pos_, strnlen(pos_, length)); // ends at an embedded NUL
        pos_ += length;
        return true;
    }
    size_t remaining() const { return static_cast<size_t>(end_ - pos_); }

  private:
    bool take(void *out, size_t n) {
        if (remaining() < n)
            return false;
        memcpy(out, pos_, n);
        pos_ += n;
        return true;
    }

    const char *pos_;
    const char *end_;
};

typedef std::vector<std::vector<std::string>> folder_table;

// Counts larger than the bytes left could hold are damage, not a reason to
// allocate: every name needs at least its length and marker.
// `whole` tells whether the table was read to the last byte of the file.
folder_table read_folder_table(std::string_view tree, bool &whole) {
    Reader in(tree);
    folder_table table;
    whole = false;
    int32_t levels = 0;
    if (!in.int32(levels) || levels < 0 || static_cast<size_t>(levels) > in.remaining() / 4)
        return table;
    table.resize(levels);
    for (auto &level : table) {
        int32_t names = 0;
        if (!in.int32(names) || names < 0 || static_cast<size_t>(names) > in.remaining() / 6)
            return table;
        level.resize(names);
        for (auto &name : level) {
            int32_t length = 0;
            if (!in.int32(length) || length > max_folder_name || !in.text(length, name) ||
                !in.marker())
                return table;
        }
    }
    whole = in.remaining() == 0;
    return table;
}

enum class legacy_file { missing, read, unreadable };

// Far beyond any real table; a larger file is not read, and so not deleted.
const LONGLONG max_legacy_bytes = 0x10000000;

legacy_file read_whole(const std::string &path, std::string &bytes) {
    ScopedFile file(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid())
        return GetLastError() == ERROR_FILE_NOT_FOUND ? legacy_file::missing
                                                      : legacy_file::unreadable;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > max_legacy_bytes)
        return legacy_file::unreadable;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        if (!ReadFile(file.get(), &bytes[done], static_cast<DWORD>(bytes.size() - done), &n,
                      nullptr) ||
            n == 0)
            return legacy_file::unreadable;
        done += n;
    }
    return legacy_file::read;
}

bool is_item_gone(DWORD code, const std::wstring &path) {
    if ((code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) || path.size() < 3 ||
        path[1] != L':' || path[2] != L'\\')
        return false;
    return GetFileAttributesW(path.substr(0, 3).c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

bool parse_legacy_descriptions(
    std::string_view tree, std::string_view descr,
    const std::function<void(const std::string &path, const std::string &text)> &found) {
    bool tree_whole = false;
    folder_table table = read_folder_table(tree, tree_whole);
    Reader in(descr);
    for (;;) {
        if (in.remaining() == 0)
            return tree_whole;
        int32_t name_length = 0, depth = 0, text_length = 0;
        std::string name, path, text;
        if (!in.int32(name_length) || name_length > max_buffered || !in.text(name_length, name) ||
            !in.int32(depth) || depth < 0 || static_cast<size_t>(depth) > table.size())
            return false;
        for (int32_t level = 0; level < depth; ++level) {
            int32_t index = 0;
            if (!in.int32(index) || index < 0 || static_cast<size_t>(index) >= table[level].size())
                return false;
            path += table[level][index] + "\\";
        }
        if (!in.int32(text_length) || text_length > max_buffered || !in.text(text_length, text))
            return false;
        found(path + name, text);
        if (!in.marker())
            return false;
    }
}

void import_legacy_descriptions(const std::string &base) {
    std::string tree_path = base + "tree.dat", descr_path = base + "descr.dat";
    std::string tree, descr;
    if (read_whole(tree_path, tree) != legacy_file::read)
        return;
    // Both files are read before either is deleted: descr.dat means nothing
    // without the folder table.
    legacy_file descr_state = read_whole(descr_path, descr);
    if (descr_state == legacy_file::unreadable)
        return;
    if (descr_state == legacy_file::missing) {
        // A tree.dat that is not a whole folder table may be anyone's file.
        bool whole = false;
        read_folder_table(tree, whole);
        if (whole)
            DeleteFileA(tree_path.c_str());
        return;
    }

    int not_entered = 0;
    bool whole = parse_legacy_descriptions(
        tree, descr, [&not_entered](const std::string &path, const std::string &text) {
            std::wstring wide;
            DWORD code = wide_path_of(path, wide)
                             ? info_holder.add_description(wide.c_str(), 0, text.c_str())
                             : ERROR_NO_UNICODE_TRANSLATION;
            // An item that is gone from a volume that answers has nothing
            // left to describe; any other failure (a drive not mapped for
            // the registering user, no access) may pass.
            not_entered += code > 1 && !(is_item_gone(code, wide));
        });
    info_holder.save_index();
    // Files that did not read whole, or hold descriptions that could not be
    // entered, stay for another try or for recovery by hand, and nothing is
    // claimed.
    if (!whole || not_entered)
        return;
    DeleteFileA(tree_path.c_str());
    DeleteFileA(descr_path.c_str());
    MessageBoxA(nullptr,
                "Globals descriptions was be succeeded converted , but local description not "
                "supported at this version",
                nullptr, MB_OK);
}
