#include "tests/store_fixture.h"

#include <map>

#include "tests/message_box_catcher.h"

namespace {

using entry_state = CInfoHolder::entry_state;

// Two different paths with the same key: changing the first of two name
// characters by one and the second by -33 keeps h * 33 + c.
std::pair<std::string, std::string> colliding_names() {
    for (char a = 'a'; a <= 'z'; ++a)
        for (char b = 'a'; b <= 'z'; ++b) {
            std::string first = std::string("n") + a + b + ".txt";
            std::string second = std::string("n") + char(a + 1) + char(b - 33) + ".txt";
            if (path_hash(StoreTest::wide(first).c_str()) ==
                    path_hash(StoreTest::wide(second).c_str()) &&
                second.find_first_of("\\/:*?\"<>|") == std::string::npos)
                return {first, second};
        }
    return {};
}

TEST_F(StoreTest, AddAppendsARecordAndUpdateRewrites) {
    std::string a = make_file("a.txt");
    CInfoHolder holder;
    EXPECT_EQ(0u, holder.add_description(wide(a).c_str(), 2, "first"));
    EXPECT_EQ(record_bytes(2, a), index_bytes());

    std::string text;
    EXPECT_TRUE(holder.get_description(wide(a).c_str(), text));
    EXPECT_EQ("first", text);
    EXPECT_EQ(2, holder.get_icon_kind(wide(a).c_str()));

    EXPECT_EQ(0u, holder.add_description(wide(a).c_str(), 4, "second"));
    EXPECT_EQ(record_bytes(4, a), index_bytes());
    EXPECT_TRUE(holder.get_description(wide(a).c_str(), text));
    EXPECT_EQ("second", text);
    EXPECT_EQ(4, holder.get_icon_kind(wide(a).c_str()));
}

TEST_F(StoreTest, WalksRecordsInAscendingKeyOrder) {
    std::string bytes = record_bytes(0, "C:\\a.txt") + record_bytes(1, "C:\\b");
    ASSERT_TRUE(write_whole_file(index_file_, bytes));
    CInfoHolder holder;
    holder.load_index();
    holder.mark_not_described(L"C:\\never");
    ASSERT_TRUE(holder.item_at(0));
    EXPECT_EQ("C:\\b", holder.item_at(0)->path);
    EXPECT_EQ("C:\\a.txt", holder.item_at(1)->path);
    EXPECT_EQ("C:\\b", holder.item_at(-3)->path);
    EXPECT_FALSE(holder.item_at(2));
    EXPECT_EQ(bytes, index_bytes()); // a clean load rewrites nothing

    holder.save_index();
    EXPECT_EQ(record_bytes(1, "C:\\b") + record_bytes(0, "C:\\a.txt"), index_bytes());
}

TEST_F(StoreTest, DamagedRecordKeepsWhatCameBeforeAndACopy) {
    std::string good = record_bytes(0, "C:\\a.txt") + record_bytes(1, "C:\\b");
    std::string damaged = good + "XXXXjunk" + record_bytes(2, "C:\\after");
    ASSERT_TRUE(write_whole_file(index_file_, damaged));
    CInfoHolder holder;
    holder.load_index();
    EXPECT_EQ(entry_state::described, holder.lookup(L"C:\\b"));
    EXPECT_EQ(entry_state::unknown, holder.lookup(L"C:\\after"));
    EXPECT_EQ(record_bytes(1, "C:\\b") + record_bytes(0, "C:\\a.txt"), index_bytes());
    std::string copy;
    ASSERT_TRUE(read_whole_file(index_file_ + ".bad", copy));
    EXPECT_EQ(damaged, copy);
}

TEST_F(StoreTest, RecordCutInsideItsMarkerLoadsWithoutRewrite) {
    std::string bytes = record_bytes(0, "C:\\a.txt") + std::string("\xEC\xDE", 2);
    ASSERT_TRUE(write_whole_file(index_file_, bytes));
    CInfoHolder holder;
    holder.load_index();
    EXPECT_EQ(entry_state::described, holder.lookup(L"C:\\a.txt"));
    EXPECT_EQ(bytes, index_bytes());
    EXPECT_FALSE(path_exists(index_file_ + ".bad"));
}

TEST_F(StoreTest, LaterRecordOfTheSamePathWinsOthersUnderTheKeyStay) {
    std::string first = record_bytes(1, "C:\\x");
    std::string later = record_bytes(3, "C:\\x");
    // Same stored key, another path: an entry of its own.
    std::string other = record_bytes(5, "C:\\y");
    uint32_t key = path_hash(L"C:\\x");
    other.replace(4, 4, reinterpret_cast<const char *>(&key), 4);
    ASSERT_TRUE(write_whole_file(index_file_, first + other + later));
    CInfoHolder holder;
    holder.load_index();
    EXPECT_EQ(3, holder.get_icon_kind(L"C:\\x"));
    EXPECT_EQ("C:\\x", holder.item_at(0)->path);
    EXPECT_EQ("C:\\y", holder.item_at(1)->path);
    EXPECT_EQ(key, holder.item_at(1)->key);
    EXPECT_FALSE(holder.item_at(2));
}

TEST_F(StoreTest, PathsSharingAKeyKeepTheirOwnDescriptions) {
    auto names = colliding_names();
    ASSERT_FALSE(names.first.empty());
    std::string one = make_file(names.first), two = make_file(names.second);
    ASSERT_EQ(path_hash(wide(one).c_str()), path_hash(wide(two).c_str()));

    CInfoHolder holder;
    EXPECT_EQ(0u, holder.add_description(wide(one).c_str(), 1, "text of one"));
    EXPECT_EQ(entry_state::unknown, holder.lookup(wide(two).c_str()));
    holder.mark_not_described(wide(two).c_str());
    EXPECT_EQ(entry_state::not_described, holder.lookup(wide(two).c_str()));
    EXPECT_EQ(entry_state::described, holder.lookup(wide(one).c_str()));

    EXPECT_EQ(0u, holder.add_description(wide(two).c_str(), 3, "text of two"));
    std::string text;
    EXPECT_TRUE(holder.get_description(wide(one).c_str(), text));
    EXPECT_EQ("text of one", text);
    EXPECT_TRUE(holder.get_description(wide(two).c_str(), text));
    EXPECT_EQ("text of two", text);
    EXPECT_EQ(1, holder.get_icon_kind(wide(one).c_str()));
    EXPECT_EQ(3, holder.get_icon_kind(wide(two).c_str()));

    holder.remove_description(wide(one).c_str());
    EXPECT_EQ(-1, read_icon_kind(wide(one).c_str()));
    EXPECT_EQ(3, read_icon_kind(wide(two).c_str()));
    EXPECT_TRUE(holder.get_description(wide(two).c_str(), text));
    EXPECT_EQ(record_bytes(3, two), index_bytes());
}

TEST_F(StoreTest, NegativeEntryTurnsIntoARecord) {
    std::string a = make_file("a.txt");
    CInfoHolder holder;
    holder.mark_not_described(wide(a).c_str());
    EXPECT_EQ(entry_state::not_described, holder.lookup(wide(a).c_str()));
    EXPECT_EQ(0, holder.get_icon_kind(wide(a).c_str()));
    EXPECT_EQ(0u, holder.add_description(wide(a).c_str(), 5, nullptr));
    EXPECT_EQ(entry_state::described, holder.lookup(wide(a).c_str()));
    EXPECT_EQ(5, holder.get_icon_kind(wide(a).c_str()));
    EXPECT_EQ(record_bytes(5, a), index_bytes());

    holder.mark_not_described(wide(a).c_str());
    EXPECT_EQ(entry_state::not_described, holder.lookup(wide(a).c_str()));
    EXPECT_FALSE(holder.item_at(0));
}

// A list row keeps its record after the index let go of it.
TEST_F(StoreTest, RecordsOutliveTheirEntries) {
    std::string a = make_file("a.txt"), b = make_file("b.txt");
    CInfoHolder holder;
    ASSERT_EQ(0u, holder.add_description(wide(a).c_str(), 3, "a"));
    ASSERT_EQ(0u, holder.add_description(wide(b).c_str(), 4, "b"));
    CInfoHolder::record_ptr row_a = holder.item_at(0), row_b = holder.item_at(1);
    ASSERT_TRUE(row_a && row_b);
    std::string path_a = row_a->path, path_b = row_b->path;
    holder.remove_description(wide(path_a).c_str());
    holder.mark_not_described(wide(path_b).c_str());
    EXPECT_FALSE(holder.item_at(0));
    EXPECT_EQ(path_a, row_a->path);
    EXPECT_EQ(path_b, row_b->path);
    EXPECT_EQ(row_a->key, path_hash(wide(path_a).c_str()));
    EXPECT_EQ("", index_bytes());
}

TEST_F(StoreTest, RemovingAnUnindexedPathTouchesNothing) {
    std::string a = make_file("a.txt");
    ASSERT_EQ(0u, item_info(2, wide(a).c_str()).write_description("kept"));
    std::string other = make_file("b.txt");
    CInfoHolder holder;
    ASSERT_EQ(0u, holder.add_description(wide(other).c_str(), 0, "b"));
    std::string before = index_bytes();
    holder.remove_description(wide(a).c_str());
    EXPECT_EQ(2, read_icon_kind(wide(a).c_str()));
    EXPECT_EQ(before, index_bytes());
    holder.remove_description(nullptr);
}

TEST_F(StoreTest, StaleEntryLeavesOnlyWhenTheItemIsGone) {
    std::string a = make_file("a.txt"), b = make_file("b.txt");
    CInfoHolder holder;
    ASSERT_EQ(0u, holder.add_description(wide(a).c_str(), 1, "a"));
    ASSERT_EQ(0u, holder.add_description(wide(b).c_str(), 2, "b"));

    // A stream another program holds without sharing: the entry stays.
    HANDLE busy =
        CreateFileA((b + ":plivar").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, busy);
    std::string before = index_bytes(), text;
    EXPECT_FALSE(holder.get_description(wide(b).c_str(), text));
    CloseHandle(busy);
    EXPECT_EQ(entry_state::described, holder.lookup(wide(b).c_str()));
    EXPECT_EQ(before, index_bytes());

    // On a drive that does not answer: the entry stays.
    CInfoHolder far_away;
    std::string unreachable = "Q:\\nowhere\\c.txt";
    ASSERT_FALSE(path_exists("Q:\\"));
    ASSERT_TRUE(write_whole_file(index_file_, before + record_bytes(0, unreachable)));
    far_away.load_index();
    EXPECT_FALSE(far_away.get_description(wide(unreachable).c_str(), text));
    EXPECT_EQ(entry_state::described, far_away.lookup(wide(unreachable).c_str()));
    ASSERT_TRUE(write_whole_file(index_file_, before));

    // Deleted: the entry leaves the map and the file, once.
    ASSERT_TRUE(DeleteFileA(a.c_str()));
    EXPECT_FALSE(holder.get_description(wide(a).c_str(), text));
    EXPECT_EQ(entry_state::unknown, holder.lookup(wide(a).c_str()));
    EXPECT_EQ(record_bytes(2, b), index_bytes());
    EXPECT_FALSE(holder.get_description(wide(a).c_str(), text));

    // A stream holding only the kind still counts as a description.
    ASSERT_TRUE(write_whole_file(b + ":plivar", std::string("\x02\0\0\0", 4)));
    text = "old";
    EXPECT_TRUE(holder.get_description(wide(b).c_str(), text));
}

TEST_F(StoreTest, RewriteKeepsRecordsOtherProcessesAppended) {
    std::string a = make_file("a.txt"), b = make_file("b.txt");
    CInfoHolder holder;
    ASSERT_EQ(0u, holder.add_description(wide(a).c_str(), 1, "a"));
    ASSERT_EQ(0u, holder.add_description(wide(b).c_str(), 2, "b"));
    // Another process appends one.
    std::string theirs = record_bytes(4, "C:\\theirs.txt");
    ASSERT_TRUE(write_whole_file(index_file_, index_bytes() + theirs));

    holder.remove_description(wide(a).c_str());
    std::string bytes = index_bytes();
    EXPECT_NE(std::string::npos, bytes.find(theirs));
    EXPECT_EQ(std::string::npos, bytes.find(record_bytes(1, a)));
    EXPECT_NE(std::string::npos, bytes.find(record_bytes(2, b)));
    EXPECT_EQ(record_bytes(2, b).size() + theirs.size(), bytes.size());

    // What this process removed does not come back from an old copy.
    ASSERT_TRUE(write_whole_file(index_file_, bytes + record_bytes(1, a)));
    holder.save_index();
    EXPECT_EQ(std::string::npos, index_bytes().find(record_bytes(1, a)));
}

TEST_F(StoreTest, ConfigurationMessageOncePerProcess) {
    std::string a = make_file("a.txt"), b = make_file("b.txt");
    ASSERT_TRUE(DeleteFileA(index_file_.c_str()));
    CInfoHolder holder;
    {
        MessageBoxCatcher catcher("Quillarvent", IDOK);
        EXPECT_EQ(1u, holder.add_description(wide(a).c_str(), 0, "a"));
        EXPECT_EQ("Not found config file , reinstall Quillarvent please", catcher.text());
    }
    EXPECT_EQ(entry_state::described, holder.lookup(wide(a).c_str()));
    {
        MessageBoxCatcher catcher("Quillarvent", IDOK, 1500);
        EXPECT_EQ(0u, holder.add_description(wide(b).c_str(), 0, "b"));
        holder.save_index();
        EXPECT_FALSE(catcher.caught());
    }
}

TEST_F(StoreTest, ConfigurationMessageForAFileThatIsHeldOpen) {
    std::string a = make_file("a.txt");
    HANDLE held =
        CreateFileA(index_file_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    {
        CInfoHolder holder;
        MessageBoxCatcher catcher("Quillarvent", IDOK);
        EXPECT_EQ(1u, holder.add_description(wide(a).c_str(), 0, "a"));
        EXPECT_EQ("Can't get access to configuration file , may be you are not authorized "
                  "user,\t\t\t\t\totherwise reinstall Quillarvent",
                  catcher.text());
    }
    {
        CInfoHolder holder;
        MessageBoxCatcher catcher("Quillarvent", IDOK);
        holder.save_index();
        EXPECT_EQ("Can't get access to configuration file , may be you are not authorized "
                  "user,\t\t\t\t\t\t\totherwise reinstall Quillarvent",
                  catcher.text());
    }
    CloseHandle(held);
}

TEST_F(StoreTest, FailedStreamWriteOfANewItemChangesNothing) {
    CInfoHolder holder;
    std::string missing = temp_.path() + "missing.txt";
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              holder.add_description(wide(missing).c_str(), 1, "x"));
    EXPECT_EQ(entry_state::unknown, holder.lookup(wide(missing).c_str()));
    EXPECT_EQ("", index_bytes());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), holder.add_description(nullptr, 1, "x"));
    std::string text;
    EXPECT_FALSE(holder.get_description(nullptr, text));
    EXPECT_EQ(entry_state::unknown, holder.lookup(nullptr));
}

} // namespace
