// files.dat is replaced whole, never written over in place: a process killed
// halfway through a rewrite leaves every record it did not mean to change.

#include "tests/store_fixture.h"

#include <random>
#include <set>
#include <thread>

namespace {

const int described_first = 1000, batch_size = 100;

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

TEST_F(StoreTest, AKilledRewriteLeavesEveryOtherRecord) {
    std::string records;
    std::set<std::string> first;
    for (int n = 0; n < described_first; ++n) {
        std::string path = temp_.path() + item_name("first", n);
        item_info(n % 6, wide(path).c_str()).save_record(records);
        first.insert(path);
    }
    ASSERT_TRUE(write_whole_file(index_file_, records));

    std::mt19937 rng(17);
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        // A second process restores batch after batch of new items, one
        // rewrite of files.dat each, and is killed at some moment.
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        SetHandleInformation(go, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        std::string command = std::string("\"") + exe + "\" --batch-child \"" + index_file_ +
                              "\" \"" + temp_.path() + ".\" " +
                              std::to_string(reinterpret_cast<uintptr_t>(go)) + " " +
                              std::to_string(round);
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION child = {};
        ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &startup, &child));
        Sleep(300);
        SetEvent(go);
        Sleep(100 + rng() % 400);
        TerminateProcess(child.hProcess, 9);
        WaitForSingleObject(child.hProcess, 10000);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
        CloseHandle(go);

        CInfoHolder after;
        ASSERT_EQ(0u, after.load_index());
        size_t kept = 0;
        for (const auto &record : after.records())
            kept += first.count(record->path);
        EXPECT_EQ(first.size(), kept);
    }
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
    CInfoHolder reread;
    ASSERT_EQ(0u, reread.load_index());
    EXPECT_EQ(CInfoHolder::entry_state::unknown, reread.lookup(wide(a).c_str()));
    EXPECT_EQ(2, reread.get_icon_kind(wide(b).c_str()));
    EXPECT_EQ(3, reread.get_icon_kind(wide(older).c_str()));
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

// Child side of the killed rewrite: batch after batch of new descriptions
// until it is killed.
int run_batch_child(int argc, char **argv) {
    if (argc != 6)
        return 2;
    child_context context = child_start(argv);
    std::string round = argv[5];
    std::vector<CInfoHolder::new_description> batch;
    int batches = 0;
    CInfoHolder holder;
    holder.load_index();
    WaitForSingleObject(context.go, 30000);
    for (;;) {
        batch.clear();
        for (int n = 0; n < batch_size; ++n) {
            std::string path = context.folder + "r" + round + "_" +
                               item_name("later", batches * batch_size + n);
            write_whole_file(path, "x");
            batch.push_back({StoreTest::wide(path), n % 6, "restored", false, false});
        }
        holder.add_descriptions(batch);
        ++batches;
    }
}
