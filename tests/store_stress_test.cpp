#include "tests/store_fixture.h"

#include "tests/message_box_catcher.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using entry_state = CInfoHolder::entry_state;

const int process_count = 4, operations = 500, own_items = 5, shared_items = 50;

std::string own_name(int process, int item) {
    return "own_" + std::to_string(process) + "_" + std::to_string(item) + ".txt";
}

std::string shared_name(int item) {
    return "shared_" + std::to_string(item) + ".txt";
}

// Four processes change descriptions at once, each of items of its own and
// of fifty items all of them share, and now and then start afresh from
// files.dat as a new shell process would. files.dat must come out whole,
// each process's own items exactly as it left them, and every shared item's
// record in agreement with its stream once the shell has looked at it.
TEST_F(StoreTest, FourProcessesKeepFilesDatWhole) {
    for (int item = 0; item < shared_items; ++item)
        make_file(shared_name(item));
    std::vector<std::string> processes;
    for (int c = 0; c < process_count; ++c)
        processes.push_back(std::to_string(c));
    ASSERT_TRUE(run_children("--stress-child", processes));

    // Whole, and one record per path.
    std::string image = index_bytes();
    std::set<std::pair<uint32_t, std::string>> seen;
    size_t duplicates = 0;
    EXPECT_TRUE(walk_index_records(image.data(), image.size(), [&](const item_info &r, size_t) {
        duplicates += !seen.emplace(r.key, r.path).second;
    }));
    EXPECT_EQ(0u, duplicates);
    EXPECT_FALSE(path_exists(index_file_ + ".bad"));

    CInfoHolder holder;
    holder.load_index();
    int described_at_end = 0, removed_at_end = 0;
    for (int c = 0; c < process_count; ++c) {
        std::ifstream expected(temp_.path() + "expected_" + std::to_string(c) + ".txt");
        int item = 0, kind = 0, count = 0;
        while (expected >> item >> kind) {
            ++count;
            ++(kind < 0 ? removed_at_end : described_at_end);
            std::wstring path = wide(temp_.path() + own_name(c, item));
            if (kind < 0) {
                EXPECT_EQ(entry_state::unknown, holder.lookup(path.c_str())) << c << "/" << item;
                EXPECT_EQ(-1, read_icon_kind(path.c_str()));
            } else {
                EXPECT_EQ(entry_state::described, holder.lookup(path.c_str())) << c << "/" << item;
                EXPECT_EQ(kind, holder.get_icon_kind(path.c_str())) << c << "/" << item;
                EXPECT_EQ(kind, read_icon_kind(path.c_str())) << c << "/" << item;
            }
        }
        EXPECT_EQ(own_items, count) << "process " << c;
    }
    // The seeds leave some own items described and some removed.
    EXPECT_GT(described_at_end, 0);
    EXPECT_GT(removed_at_end, 0);

    int agreed_at_once = 0;
    for (int item = 0; item < shared_items; ++item) {
        std::wstring path = wide(temp_.path() + shared_name(item));
        int32_t stream = read_icon_kind(path.c_str());
        int32_t indexed = -1;
        if (holder.lookup_icon_kind(path.c_str(), indexed) != entry_state::described)
            indexed = -1;
        agreed_at_once += stream == indexed;
        // What the shell does on meeting the item: the column reads it, the
        // overlay enters a stream the index does not know.
        std::string text;
        holder.get_description(path.c_str(), text);
        if (holder.lookup(path.c_str()) == entry_state::unknown && stream != -1)
            holder.enter_described(path.c_str(), stream);
        indexed = -1;
        if (holder.lookup_icon_kind(path.c_str(), indexed) != entry_state::described)
            indexed = -1;
        EXPECT_EQ(stream, indexed) << "shared item " << item;
    }
    printf("shared items whose record agreed with the stream before any lookup: %d of %d\n",
           agreed_at_once, shared_items);
}

} // namespace

// Child side of the test above: waits for the start signal, then runs its
// operations and writes the last state of each of its own items. A
// configuration message (files.dat out of reach for a second) counts as a
// failure.
int run_stress_child(int argc, char **argv) {
    if (argc != 6)
        return 2;
    child_context context = child_start(argv);
    std::string folder = context.folder;
    int process = atoi(argv[5]);
    HANDLE go = context.go;
    std::vector<std::wstring> own, shared;
    for (int item = 0; item < own_items; ++item) {
        std::string path = folder + own_name(process, item);
        write_whole_file(path, "x");
        own.push_back(std::wstring(path.begin(), path.end()));
    }
    for (int item = 0; item < shared_items; ++item) {
        std::string path = folder + shared_name(item);
        shared.push_back(std::wstring(path.begin(), path.end()));
    }
    auto boxes = std::make_unique<MessageBoxWatch>("Quillarvent");
    WaitForSingleObject(go, 30000);

    std::mt19937 rng(1000 + process);
    std::vector<int> last(own_items, -1);
    int failures = 0;
    auto holder = std::make_unique<CInfoHolder>();
    holder->load_index();
    for (int op = 0; op < operations; ++op) {
        bool is_own = rng() % 5 < 2;
        int item = is_own ? rng() % own_items : rng() % shared_items;
        const wchar_t *path = is_own ? own[item].c_str() : shared[item].c_str();
        int kind = rng() % 6;
        DWORD code = 0;
        switch (rng() % 8) {
        case 0:
        case 1:
        case 2:
            code = holder->add_description(path, kind, ("text " + std::to_string(op)).c_str());
            break;
        case 3:
        case 4:
            code = holder->add_description(path, kind, nullptr); // a new marker only
            break;
        case 5:
        case 6:
            holder->remove_description(path);
            kind = -1;
            break;
        default:
            holder = std::make_unique<CInfoHolder>();
            holder->load_index();
            continue;
        }
        // Two processes writing one shared stream at the same moment: the
        // later open meets a sharing violation, as on Windows.
        if (code != 0 && (is_own || code != ERROR_SHARING_VIOLATION)) {
            fprintf(stderr, "child %d: operation %d gave %lu\n", process, op, code);
            ++failures;
        }
        if (is_own && code == 0)
            last[item] = kind;
    }
    int messages = boxes->count();
    boxes.reset();
    std::ofstream expected(folder + "expected_" + std::to_string(process) + ".txt");
    for (int item = 0; item < own_items; ++item)
        expected << item << " " << last[item] << "\n";
    if (messages)
        fprintf(stderr, "child %d: %d configuration messages\n", process, messages);
    return failures == 0 && messages == 0 ? 0 : 1;
}
