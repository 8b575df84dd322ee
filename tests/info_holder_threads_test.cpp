#include "tests/store_fixture.h"

#include <atomic>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/message_box_catcher.h"

namespace {

using entry_state = CInfoHolder::entry_state;
typedef std::set<std::tuple<uint32_t, std::string, int32_t>> record_set;

record_set records_of(const CInfoHolder &holder) {
    record_set records;
    for (long n = 0;; ++n) {
        auto record = holder.item_at(n);
        if (!record)
            return records;
        records.emplace(record->key, record->path, record->icon_kind);
    }
}

// Shell threads add, read, remove and mark items at once; afterwards the map
// and files.dat must tell the same story.
TEST_F(StoreTest, ManyThreadsLeaveMapAndFileInAgreement) {
    const int thread_count = 8, file_count = 24, rounds = 150;
    std::vector<std::wstring> paths;
    for (int i = 0; i < file_count; ++i)
        paths.push_back(wide(make_file("item" + std::to_string(i) + ".txt")));

    CInfoHolder holder;
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back([&, t] {
            unsigned seed = 7919u * (t + 1);
            for (int round = 0; round < rounds; ++round) {
                seed = seed * 1103515245u + 12345u;
                const wchar_t *path = paths[(seed >> 8) % file_count].c_str();
                std::string text;
                CInfoHolder::record_ptr record;
                switch ((seed >> 20) % 6) {
                case 0:
                case 1:
                    holder.add_description(path, t % 6, "text from a thread");
                    break;
                case 2:
                    holder.get_description(path, text);
                    break;
                case 3:
                    holder.remove_description(path);
                    break;
                case 4:
                    holder.mark_not_described(path);
                    break;
                default:
                    if (holder.lookup(path, &record) == entry_state::described) {
                        EXPECT_FALSE(record->path.empty());
                    }
                    holder.item_at(static_cast<long>(seed % 10));
                }
            }
        });
    for (auto &thread : threads)
        thread.join();

    CInfoHolder reloaded;
    reloaded.load_index();
    EXPECT_EQ(records_of(holder), records_of(reloaded));
    EXPECT_FALSE(path_exists(index_file_ + ".bad"));
}

// Threads of one process changing descriptions at once over a large index
// take their turn at files.dat: none of them gives up on the file and tells
// the user it cannot be reached.
TEST_F(StoreTest, ThreadsOfOneProcessNeverGiveUpOnFilesDat) {
    std::string image;
    for (int i = 0; i < 100000; ++i)
        image += record_bytes(i % 6, "C:\\bench\\folder" + std::to_string(i % 97) + "\\document_" +
                                         std::to_string(i) + ".txt");
    ASSERT_TRUE(write_whole_file(index_file_, image));
    CInfoHolder holder;
    holder.load_index();
    const int thread_count = 8, updates = 40;
    std::vector<std::wstring> paths;
    for (int t = 0; t < thread_count; ++t)
        paths.push_back(wide(make_file("own" + std::to_string(t) + ".txt")));
    MessageBoxWatch boxes("Quillarvent");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back([&, t] {
            for (int u = 0; u < updates; ++u)
                failures += holder.add_description(paths[t].c_str(), u % 6, "changed") != 0;
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, boxes.count());
    CInfoHolder reloaded;
    reloaded.load_index();
    for (const auto &path : paths)
        EXPECT_EQ((updates - 1) % 6, reloaded.get_icon_kind(path.c_str()));
}

// Two processes that append at the same moment: the file is opened without
// sharing, so one waits for the other instead of losing its record.
TEST_F(StoreTest, TwoProcessesAppendingLoseNothing) {
    const int per_process = 150;
    ASSERT_TRUE(run_children("--append-child", {std::to_string(per_process) + " p0",
                                                std::to_string(per_process) + " p1"}));

    CInfoHolder reloaded;
    reloaded.load_index();
    EXPECT_EQ(2u * per_process, records_of(reloaded).size());
    // Each process kept each of its writes in the user's keep file too.
    CKeepFile kept;
    kept.set_path(wide(temp_.path() + "keep.dat"));
    std::vector<CKeepFile::kept_path> paths;
    ASSERT_TRUE(kept.read_all(paths));
    size_t described = 0;
    for (const CKeepFile::kept_path &path : paths)
        described += path.last_change() && path.last_change()->text == "child";
    EXPECT_EQ(2u * per_process, described);
}

} // namespace

// Child side of the test above: waits for the start signal, then adds
// `count` descriptions. Exit code 0 when every add returned 0.
int run_append_child(int argc, char **argv) {
    if (argc != 7)
        return 2;
    child_context context = child_start(argv);
    std::string folder = context.folder;
    int count = atoi(argv[5]);
    const char *prefix = argv[6];
    HANDLE go = context.go;
    std::vector<std::wstring> paths;
    for (int i = 0; i < count; ++i) {
        std::string path = folder + prefix + "_" + std::to_string(i) + ".txt";
        write_whole_file(path, "x");
        paths.push_back(std::wstring(path.begin(), path.end()));
    }
    WaitForSingleObject(go, 30000);
    CInfoHolder holder;
    int failures = 0;
    for (const auto &path : paths)
        failures += holder.add_description(path.c_str(), 1, "child") != 0;
    return failures == 0 ? 0 : 1;
}
