// Feeds seeded corruptions of valid inputs to the four readers of stored
// bytes: the files.dat loader, the legacy tree.dat/descr.dat parser, the
// description stream reader and the keep file reader. Each input ends flush
// against a page the process may not read, so a read past its end stops the
// run. Every record a reader hands back must be one the input holds intact.
//
// store_fuzz [--count N] [--seed S]: N inputs for each reader (default
// 100000). Prints the counts and the time; exit status 0 when all held.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "module/legacy_import.h"
#include "store/index_file.h"
#include "store/item_info.h"
#include "store/keep_records.h"

namespace {

const char *current_target = "";
unsigned long long current_input = 0;
unsigned current_seed = 0;
long failures = 0;

LONG CALLBACK report_fault(EXCEPTION_POINTERS *info) {
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        fprintf(stderr, "store_fuzz: %s read outside input %llu (seed %u)\n", current_target,
                current_input, current_seed);
        fflush(stderr);
        ExitProcess(3);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void fail(const char *what) {
    if (failures++ < 20)
        fprintf(stderr, "store_fuzz: %s: %s at input %llu (seed %u)\n", current_target, what,
                current_input, current_seed);
}

// Room for inputs of up to `capacity` bytes, followed by a no-access page.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(size_t capacity) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        size_t page = system.dwPageSize;
        size_ = (capacity + page - 1) / page * page;
        base_ = static_cast<char *>(
            VirtualAlloc(nullptr, size_ + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        if (!base_ || !VirtualProtect(base_ + size_, page, PAGE_NOACCESS, &old)) {
            fprintf(stderr, "store_fuzz: no guard page\n");
            ExitProcess(2);
        }
    }
    // The input copied so that its last byte is the last readable one.
    std::string_view place(const std::string &input) {
        size_t n = input.size() < size_ ? input.size() : size_;
        char *at = base_ + size_ - n;
        memcpy(at, input.data(), n);
        return std::string_view(at, n);
    }

  private:
    char *base_;
    size_t size_;
};

// Names for the legacy files hold no backslash: the parser joins them with
// one, and the check splits at it.
std::string random_name(std::mt19937 &rng, size_t max_length);

std::string random_text(std::mt19937 &rng, size_t max_length, bool path_like) {
    static const char path_chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123456789 ._-\\";
    size_t n = rng() % (max_length + 1);
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += path_like ? path_chars[rng() % (sizeof(path_chars) - 1)]
                         : static_cast<char>(rng() % 256);
    return out;
}

std::string random_name(std::mt19937 &rng, size_t max_length) {
    std::string name = random_text(rng, max_length, true);
    for (char &c : name)
        if (c == '\\')
            c = '_';
    return name;
}

void corrupt(std::string &bytes, std::mt19937 &rng) {
    switch (rng() % 6) {
    case 0: // flip a few bytes
        for (int flips = 1 + rng() % 4; flips > 0 && !bytes.empty(); --flips)
            bytes[rng() % bytes.size()] = static_cast<char>(rng());
        break;
    case 1: // cut anywhere
        bytes.resize(bytes.empty() ? 0 : rng() % bytes.size());
        break;
    case 2: { // a 32-bit field set to an edge value
        static const uint32_t edges[] = {0,    1,    259,        260,        261,
                                         1023, 1024, 0x7fffffff, 0x80000000, 0xffffffff};
        if (bytes.size() >= 4) {
            uint32_t v = edges[rng() % (sizeof(edges) / 4)];
            memcpy(&bytes[rng() % (bytes.size() - 3)], &v, 4);
        }
        break;
    }
    case 3: // junk inserted
        bytes.insert(bytes.empty() ? 0 : rng() % bytes.size(), random_text(rng, 40, false));
        break;
    case 4: // a stretch repeated
        if (!bytes.empty()) {
            size_t from = rng() % bytes.size();
            bytes.insert(rng() % bytes.size(), bytes.substr(from, rng() % 64));
        }
        break;
    default: // several of the above
        for (int i = 0; i < 3; ++i)
            corrupt(bytes, rng);
    }
}

template <typename T> T field_at(std::string_view input, size_t offset) {
    T value;
    memcpy(&value, input.data() + offset, sizeof(value));
    return value;
}

// files.dat: each record handed back is the one at its offset, whole.
long fuzz_index(unsigned seed, long count) {
    current_target = "files.dat loader";
    std::mt19937 rng(seed);
    GuardedBuffer buffer(1 << 16);
    long records = 0;
    for (current_input = 0; current_input < static_cast<unsigned long long>(count);
         ++current_input) {
        // Records with readable paths and their spans in the image.
        enum { pristine, tear, junk, other } kind = static_cast<decltype(kind)>(rng() % 4);
        std::string image;
        std::vector<item_info> made;
        std::vector<std::pair<size_t, size_t>> spans;
        for (int n = rng() % 12; n > 0; --n) {
            item_info record;
            // Keys are any 32-bit value, the marker's bytes among them; an
            // undamaged image may hold what older writers left in reserved.
            record.key = rng() % 8 ? rng() : index_record_marker;
            record.icon_kind = rng() % 6;
            record.reserved = (kind == other || kind == pristine) && rng() % 4 == 0 ? rng() : 0;
            record.path = "C:\\" + random_text(rng, 60, true) + std::to_string(made.size());
            spans.emplace_back(image.size(), image.size() + record.record_size());
            record.save_record(image);
            made.push_back(record);
        }
        // A tear (the tail of one record lost, as when an append was cut
        // short and others appended after it) or junk (bytes that hold no
        // marker) costs only the record it touches; other damage is checked
        // for reading within the input alone.
        size_t from = image.empty() ? 0 : rng() % image.size(), to = from;
        if (kind == tear && !spans.empty()) {
            const auto &torn = spans[rng() % spans.size()];
            from = torn.first + 1 + rng() % (torn.second - torn.first - 1);
            to = torn.second;
            image.erase(from, to - from);
        } else if (kind == junk) {
            std::string bytes;
            do
                bytes = random_text(rng, 1 + rng() % 40, false);
            while (bytes.empty() || bytes.find("\xEC\xDE\x01\xC0") != std::string::npos);
            image.insert(from, bytes);
        } else if (kind == other) {
            corrupt(image, rng);
            if (rng() % 4 == 0) // an overlong path among them
                item_info(1, (L"C:\\" + std::wstring(300, L'x')).c_str()).save_record(image);
        }
        std::vector<bool> touched(made.size(), false);
        for (size_t i = 0; i < made.size(); ++i)
            touched[i] = kind == tear ? spans[i].second > from && spans[i].first < to
                                      : spans[i].first < from && spans[i].second > from;
        std::string_view input = buffer.place(image);
        long read_here = 0;
        std::vector<bool> seen(made.size(), false);
        bool clean =
            walk_index_records(input.data(), input.size(), [&](const item_info &r, size_t at) {
                ++read_here;
                if (at + 24 > input.size() || field_at<uint32_t>(input, at) != index_record_marker)
                    return fail("record without its marker");
                uint32_t length = field_at<uint32_t>(input, at + 8);
                if (length > 259 || at + 24 + length > input.size())
                    return fail("record longer than the input");
                std::string_view path(input.data() + at + 12,
                                      strnlen(input.data() + at + 12, length));
                if (r.key != field_at<uint32_t>(input, at + 4) || r.path != path ||
                    r.reserved != field_at<uint64_t>(input, at + 12 + length) ||
                    r.icon_kind != field_at<int32_t>(input, at + 20 + length))
                    return fail("record that the input does not hold");
                if (kind == other)
                    return;
                // The damaged record itself may come back with a damaged
                // field (junk in its kind reads as another kind, in its key
                // as another key), but never a record for a path the image
                // did not hold, or one glued together from two records.
                bool known = false;
                for (size_t i = 0; i < made.size() && !known; ++i)
                    if (made[i].path == r.path &&
                        (touched[i] || (made[i].key == r.key && made[i].reserved == r.reserved &&
                                        made[i].icon_kind == r.icon_kind)))
                        known = seen[i] = true;
                if (!known)
                    fail("record made up of damaged bytes");
            });
        if (kind == pristine && (!clean || read_here != static_cast<long>(made.size())))
            fail("valid image not read whole");
        for (size_t i = 0; kind != other && i < made.size(); ++i)
            if (!touched[i] && !seen[i])
                fail("intact record lost");
        index_entries entries;
        read_index_image(input.data(), input.size(), entries);
        if (entries.size() > static_cast<size_t>(read_here))
            fail("more entries than records");
        records += read_here;
    }
    return records;
}

std::string le32(int32_t v) {
    return std::string(reinterpret_cast<const char *>(&v), 4);
}

// True when `path` is folder names that tree.dat holds, each followed by a
// backslash, and then a name that descr.dat holds. A corrupted name may hold
// a backslash itself, so every split is tried.
bool joins_table_names(const std::string &path, std::string_view tree, std::string_view descr) {
    for (size_t split = 0; split != std::string::npos;
         split = path.find('\\', split) == std::string::npos ? std::string::npos
                                                             : path.find('\\', split) + 1) {
        if (descr.find(path.substr(split)) == std::string_view::npos)
            continue;
        bool folders_held = true;
        for (size_t start = 0; start < split && folders_held;) {
            size_t slash = path.find('\\', start);
            folders_held = tree.find(path.substr(start, slash - start)) != std::string_view::npos;
            start = slash + 1;
        }
        if (folders_held)
            return true;
    }
    return false;
}

// tree.dat and descr.dat: every text handed back stands in descr.dat, every
// path is made of names the two files hold.
long fuzz_legacy(unsigned seed, long count) {
    current_target = "legacy parser";
    std::mt19937 rng(seed + 1);
    GuardedBuffer tree_buffer(1 << 16), descr_buffer(1 << 16);
    long found = 0;
    for (current_input = 0; current_input < static_cast<unsigned long long>(count);
         ++current_input) {
        std::vector<int> level_sizes;
        std::string tree = le32(static_cast<int32_t>(rng() % 4));
        int levels = field_at<int32_t>(tree, 0);
        for (int l = 0; l < levels; ++l) {
            int names = 1 + rng() % 3;
            level_sizes.push_back(names);
            tree += le32(names);
            for (int n = 0; n < names; ++n) {
                std::string name = random_name(rng, rng() % 8 ? 12 : 262);
                tree += le32(static_cast<int32_t>(name.size())) + name + "\x29\x01";
            }
        }
        std::string descr;
        for (int r = rng() % 6; r > 0; --r) {
            std::string name = random_name(rng, 20);
            int depth = levels ? rng() % (levels + 1) : 0;
            descr += le32(static_cast<int32_t>(name.size())) + name + le32(depth);
            for (int d = 0; d < depth; ++d)
                descr += le32(static_cast<int32_t>(rng() % level_sizes[d]));
            std::string text = random_text(rng, rng() % 8 ? 50 : 1030, false);
            descr += le32(static_cast<int32_t>(text.size())) + text + "\x29\x01";
        }
        if (rng() % 2)
            corrupt(tree, rng);
        if (rng() % 10)
            corrupt(descr, rng);
        std::string_view tree_in = tree_buffer.place(tree), descr_in = descr_buffer.place(descr);
        parse_legacy_descriptions(
            tree_in, descr_in, [&](const std::string &path, const std::string &text) {
                ++found;
                if (text.size() > 1023 || descr_in.find(text) == std::string_view::npos)
                    fail("text that descr.dat does not hold");
                if (!joins_table_names(path, tree_in, descr_in))
                    fail("path that the files do not hold");
            });
    }
    return found;
}

// Description streams: the text is the record's bytes after the kind, and
// only for records of 5 to 2052 bytes.
long fuzz_stream(unsigned seed, long count) {
    current_target = "stream reader";
    std::mt19937 rng(seed + 2);
    GuardedBuffer buffer(read_buffer_bytes);
    long texts = 0;
    for (current_input = 0; current_input < static_cast<unsigned long long>(count);
         ++current_input) {
        std::string record = le32(static_cast<int32_t>(rng() % 8) - 1);
        size_t length = rng() % 4 ? rng() % 64 : 2040 + rng() % 14;
        record += random_text(rng, length, rng() % 2 == 0);
        if (rng() % 3)
            corrupt(record, rng);
        if (record.size() > read_buffer_bytes)
            record.resize(read_buffer_bytes);
        std::string_view input = buffer.place(record);
        std::string text = "untouched";
        int32_t kind = 0x5a5a5a5a;
        parse_description_record(input.data(), input.size(), text, &kind);
        bool has_text = input.size() > 4 && input.size() <= max_record_bytes;
        std::string expected =
            has_text ? std::string(input.data() + 4, strnlen(input.data() + 4, input.size() - 4))
                     : std::string("untouched");
        if (text != expected)
            fail("text the record does not hold");
        if (kind != (input.size() >= 4 ? field_at<int32_t>(input, 0) : 0x5a5a5a5a))
            fail("kind the record does not hold");
        texts += has_text;
    }
    return texts;
}

// keep.dat: each record handed back is one that was written; an undamaged
// image reads whole.
long fuzz_keep(unsigned seed, long count) {
    current_target = "keep file reader";
    std::mt19937 rng(seed + 3);
    GuardedBuffer buffer(1 << 16);
    long records = 0;
    for (current_input = 0; current_input < static_cast<unsigned long long>(count);
         ++current_input) {
        std::string image;
        std::vector<keep_entry> made;
        for (int n = rng() % 10; n > 0; --n) {
            keep_entry entry;
            entry.event = static_cast<keep_event>(1 + rng() % 4);
            entry.icon_kind = static_cast<int32_t>(rng() % 8) - 1;
            entry.identity.known = rng() % 2;
            entry.identity.file_id = rng();
            std::string path = "C:\\" + random_text(rng, 40, true);
            entry.path.assign(path.begin(), path.end());
            entry.text = random_text(rng, rng() % 8 ? 60 : 2100, rng() % 2 == 0);
            entry.text.resize(
                strnlen(entry.text.c_str(), std::min<size_t>(entry.text.size(), 2048)));
            append_keep_record(entry, image);
            made.push_back(entry);
        }
        bool pristine = rng() % 4 == 0;
        if (!pristine)
            corrupt(image, rng);
        std::string_view input = buffer.place(image);
        size_t complete = 0, read = 0;
        // Junk inserted before a record moves it: a record counts when it
        // is one of those written, wherever it now lies.
        bool clean = walk_keep_records(
            input.data(), input.size(), complete, [&](const keep_entry &entry, size_t offset) {
                ++read;
                bool written = std::any_of(made.begin(), made.end(), [&](const keep_entry &m) {
                    return m.path == entry.path && m.text == entry.text && m.event == entry.event &&
                           m.icon_kind == entry.icon_kind &&
                           m.identity.file_id == entry.identity.file_id;
                });
                if (!written || offset >= input.size())
                    fail("a record that was never written");
            });
        if (complete > input.size())
            fail("an end beyond the input");
        if (pristine && (!clean || read != made.size() || complete != input.size()))
            fail("an undamaged image not read whole");
        records += static_cast<long>(read);
    }
    return records;
}

} // namespace

int main(int argc, char **argv) {
    long count = 100000;
    current_seed = 20261208;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--count") == 0)
            count = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--seed") == 0)
            current_seed = static_cast<unsigned>(strtoul(argv[i + 1], nullptr, 10));
    }
    AddVectoredExceptionHandler(1, report_fault);
    auto start = std::chrono::steady_clock::now();
    long records = fuzz_index(current_seed, count);
    long found = fuzz_legacy(current_seed, count);
    long texts = fuzz_stream(current_seed, count);
    long kept = fuzz_keep(current_seed, count);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    printf("store_fuzz: seed %u: %ld files.dat images (%ld records read), %ld legacy file pairs "
           "(%ld descriptions), %ld stream records (%ld texts), %ld keep files (%ld records) in "
           "%.1f s; %ld failures\n",
           current_seed, count, records, count, found, count, texts, count, kept, took.count(),
           failures);
    return failures == 0 && records > 0 && found > 0 && texts > 0 && kept > 0 ? 0 : 1;
}
