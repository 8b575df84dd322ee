// files.dat is replaced whole, never written over in place: a rewrite that
// fails halfway leaves every record it did not mean to change.

#include "tests/store_fixture.h"

#include "tests/message_box_catcher.h"

#include <atomic>
#include <set>
#include <thread>

namespace {

std::string item_name(const char *prefix, int n) {
    return std::string(prefix) + std::to_string(n) + ".txt";
}

// One record a process of an older version appends: it opens files.dat
// without sharing, writes at the end and closes it.
bool append_as_older_version(const std::string &index, const item_info &record) {
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 500 && file == INVALID_HANDLE_VALUE; ++i) {
        file = CreateFileA(index.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            Sleep(2);
    }
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes;
    record.save_record(bytes);
    DWORD written = 0;
    bool done = SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
                WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return done && written == bytes.size();
}

// A disk that fills up during a rewrite leaves files.dat as it was: written
// over in place, the new image would be cut where the space ran out, and
// the records past the cut lost. Run by full_disk_test.sh with files.dat
// on a small disk of its own.
TEST_F(StoreTest, AFullDiskLeavesFilesDatWhole) {
    const char *disk = getenv("QUILLARVENT_FULL_DISK");
    if (!disk)
        GTEST_SKIP() << "needs a small disk of its own";
    std::string index = std::string(disk) + "files.dat";
    std::string records;
    std::set<std::string> first;
    for (int n = 0; n < 5000; ++n) {
        std::string path = temp_.path() + item_name("first", n);
        item_info(n % 6, wide(path).c_str()).save_record(records);
        first.insert(path);
    }
    ASSERT_TRUE(write_whole_file(index, records));
    // All but a few kilobytes of the disk taken: the space of a small
    // file is freed once the disk is full.
    std::string spare = std::string(disk) + "spare", filler = std::string(disk) + "filler";
    ASSERT_TRUE(write_whole_file(spare, std::string(8192, 's')));
    HANDLE fill = CreateFileA(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, fill);
    std::string block(4096, 'f');
    DWORD written = 0;
    while (WriteFile(fill, block.data(), 4096, &written, nullptr) && written == 4096) {
    }
    CloseHandle(fill);
    ASSERT_TRUE(DeleteFileA(spare.c_str()));

    strcpy(index_path, index.c_str());
    CInfoHolder holder;
    ASSERT_EQ(0u, holder.load_index());
    std::vector<CInfoHolder::new_description> batch;
    for (int n = 0; n < 300; ++n) {
        std::string path = make_file(item_name("later", n));
        batch.push_back({wide(path), 1, "later", false, false});
    }
    MessageBoxWatch boxes("Quillarvent");
    holder.add_descriptions(batch);
    EXPECT_FALSE(holder.all_written());
    EXPECT_EQ(1, boxes.count()) << "the failed rewrite is said";

    CInfoHolder after;
    ASSERT_EQ(0u, after.load_index());
    size_t kept = 0;
    for (const auto &record : after.records())
        kept += first.count(record->path);
    EXPECT_EQ(first.size(), kept);
    std::string bytes;
    ASSERT_TRUE(read_whole_file(index, bytes));
    EXPECT_TRUE(records == bytes) << "files.dat changed";
}

// Older versions open files.dat without sharing and write it in place; one
// holding it makes this version wait, and what one appends stays.
TEST_F(StoreTest, OlderVersionsWorkBesideThisOne) {
    std::string a = make_file("a.txt"), b = make_file("b.txt"), older = make_file("older.txt");
    CInfoHolder holder;
    holder.load_index();
    ASSERT_EQ(0u, holder.add_description(wide(a).c_str(), 1, "a"));

    HANDLE held = CreateFileA(index_file_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    std::thread release([held] {
        Sleep(300);
        CloseHandle(held);
    });
    EXPECT_EQ(0u, holder.add_description(wide(b).c_str(), 2, "b"));
    release.join();

    ASSERT_TRUE(append_as_older_version(index_file_, item_info(3, wide(older).c_str())));
    EXPECT_EQ(0u, holder.remove_description(wide(a).c_str()));

    // An older version appending as fast as it can while this one rewrites
    // the file again and again: every record it appended stays.
    std::atomic<bool> done(false);
    std::vector<std::string> appended;
    std::thread older_version([&] {
        for (int n = 0; !done; ++n) {
            std::string path = temp_.path() + item_name("older", n);
            if (append_as_older_version(index_file_, item_info(1, wide(path).c_str())))
                appended.push_back(path);
        }
    });
    for (int kind = 0; kind < 30; ++kind)
        EXPECT_EQ(0u, holder.add_description(wide(b).c_str(), kind % 6, "b"));
    done = true;
    older_version.join();
    holder.save_index();

    CInfoHolder reread;
    ASSERT_EQ(0u, reread.load_index());
    EXPECT_EQ(CInfoHolder::entry_state::unknown, reread.lookup(wide(a).c_str()));
    EXPECT_EQ(29 % 6, reread.get_icon_kind(wide(b).c_str()));
    EXPECT_EQ(3, reread.get_icon_kind(wide(older).c_str()));
    EXPECT_GT(appended.size(), 0u);
    size_t lost = 0;
    for (const std::string &path : appended)
        lost += reread.lookup(wide(path).c_str()) != CInfoHolder::entry_state::described;
    EXPECT_EQ(0u, lost) << "of " << appended.size() << " appended by the older version";
}

// Every path the index can hold works, also where the stream's name passes
// MAX_PATH: a host that is not long-path aware (every Explorer) reaches it
// only by its "\\?\" form.
TEST_F(StoreTest, PathsUpToTheIndexsLimitCarryDescriptions) {
    CInfoHolder holder;
    holder.load_index();
    for (size_t length = 250; length <= 259; ++length) {
        SCOPED_TRACE(length);
        std::string path = temp_.path();
        path += std::string(length - path.size() - 4, 'n') + ".txt";
        ASSERT_EQ(length, path.size());
        ASSERT_TRUE(write_whole_file(path, "x"));
        std::wstring wide_path = wide(path);
        // Wine opens long names in any form: what a host that is not
        // long-path aware needs is checked on the name itself.
        std::wstring stream = openable(wide_path + L":plivar");
        EXPECT_EQ(length + 7 >= MAX_PATH, stream.compare(0, 4, L"\\\\?\\") == 0);
        EXPECT_EQ(0u, holder.add_description(wide_path.c_str(), 4, "long"));
        std::string text;
        EXPECT_TRUE(holder.get_description(wide_path.c_str(), text));
        EXPECT_EQ("long", text);
        EXPECT_EQ(4, read_icon_kind(wide_path.c_str()));
        EXPECT_EQ(0u, holder.remove_description(wide_path.c_str()));
        EXPECT_EQ(-1, read_icon_kind(wide_path.c_str()));
        DeleteFileA(("\\\\?\\" + path).c_str());
    }
}

} // namespace
