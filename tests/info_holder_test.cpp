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

// A torn append, a wrong marker or a path too long for the reader costs
// that record only: the file is rewritten with every record around it, and
// the damaged image is kept beside it.
TEST_F(StoreTest, DamagedRecordCostsOnlyItselfAndLeavesACopy) {
    std::string a = record_bytes(0, "C:\\a.txt"), b = record_bytes(1, "C:\\b");
    std::string after = record_bytes(2, "C:\\after"), last = record_bytes(3, "C:\\last");
    std::string overlong = record_bytes(4, "C:\\" + std::string(300, 'x'));
    std::string damaged = a + b + "XXXXjunk" + after + a.substr(0, 17) + overlong + last;
    // An append cut short in its kind, with another process's record after
    // it: the torn record must not take the next one's first bytes as its
    // tail.
    std::string torn = record_bytes(5, "C:\\torn"), next = record_bytes(2, "C:\\next");
    damaged += torn.substr(0, torn.size() - 3) + next;
    ASSERT_TRUE(write_whole_file(index_file_, damaged));
    CInfoHolder holder;
    holder.load_index();
    for (const wchar_t *path : {L"C:\\a.txt", L"C:\\b", L"C:\\after", L"C:\\last", L"C:\\next"})
        EXPECT_EQ(entry_state::described, holder.lookup(path)) << path;
    EXPECT_EQ(entry_state::unknown, holder.lookup(L"C:\\torn"));
    EXPECT_EQ(2, holder.get_icon_kind(L"C:\\next"));
    EXPECT_EQ(entry_state::unknown, holder.lookup(wide("C:\\" + std::string(300, 'x')).c_str()));
    std::string copy;
    ASSERT_TRUE(read_whole_file(index_file_ + ".bad", copy));
    EXPECT_EQ(damaged, copy);

    std::string rewritten = index_bytes();
    EXPECT_EQ(a.size() + b.size() + after.size() + last.size() + next.size(), rewritten.size());
    ASSERT_TRUE(DeleteFileA((index_file_ + ".bad").c_str()));
    CInfoHolder reloaded;
    reloaded.load_index();
    EXPECT_EQ(3, reloaded.get_icon_kind(L"C:\\last"));
    EXPECT_FALSE(path_exists(index_file_ + ".bad"));
    EXPECT_EQ(rewritten, index_bytes());
}

// A key is any 32-bit value, the marker's bytes included; a record holding
// them is no damage.
TEST_F(StoreTest, AKeyThatSpellsTheMarkerIsNoDamage) {
    std::string odd = record_bytes(1, "C:\\odd.txt"), plain = record_bytes(2, "C:\\plain.txt");
    uint32_t marker_key = index_record_marker;
    odd.replace(4, 4, reinterpret_cast<const char *>(&marker_key), 4);
    ASSERT_TRUE(write_whole_file(index_file_, plain + odd));
    CInfoHolder holder;
    holder.load_index();
    ASSERT_TRUE(holder.item_at(1));
    EXPECT_EQ(marker_key, holder.item_at(1)->key);
    EXPECT_EQ("C:\\odd.txt", holder.item_at(1)->path);
    EXPECT_EQ(plain + odd, index_bytes());
    EXPECT_FALSE(path_exists(index_file_ + ".bad"));
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

    // An overlay that found no stream a moment before a save must not undo it.
    holder.mark_not_described(wide(a).c_str());
    EXPECT_EQ(entry_state::described, holder.lookup(wide(a).c_str()));
    EXPECT_EQ(record_bytes(5, a), index_bytes());
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
    ASSERT_TRUE(DeleteFileA(path_b.c_str()));
    std::string text;
    EXPECT_FALSE(holder.get_description(wide(path_b).c_str(), text));
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
}

// A removal suppresses the record it removed, not one another process writes
// later for the same path, whether that comes before or after the removal
// reached files.dat.
TEST_F(StoreTest, ARemovalSuppressesOnlyTheRecordItRemoved) {
    std::string x = make_file("x.txt"), y = make_file("y.txt");
    CInfoHolder mine, theirs;
    ASSERT_EQ(0u, mine.add_description(wide(x).c_str(), 1, "mine"));
    mine.remove_description(wide(x).c_str());
    ASSERT_EQ(0u, theirs.add_description(wide(x).c_str(), 2, "theirs, later"));
    ASSERT_EQ(0u, mine.add_description(wide(y).c_str(), 3, "unrelated"));
    std::string text;
    CInfoHolder reloaded;
    reloaded.load_index();
    EXPECT_EQ(2, reloaded.get_icon_kind(wide(x).c_str()));
    EXPECT_EQ(3, reloaded.get_icon_kind(wide(y).c_str()));

    // The removal cannot reach the file at first; meanwhile the other
    // process describes the item again.
    HANDLE held =
        CreateFileA(index_file_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    {
        MessageBoxCatcher catcher("Quillarvent", IDOK);
        mine.remove_description(wide(y).c_str());
        EXPECT_TRUE(catcher.caught());
    }
    CloseHandle(held);
    ASSERT_EQ(0u, theirs.add_description(wide(y).c_str(), 4, "theirs again"));
    mine.save_index();
    CInfoHolder after;
    after.load_index();
    EXPECT_EQ(4, after.get_icon_kind(wide(y).c_str()));

    // Again, but what turns up meanwhile is a stale copy of the record with
    // no stream behind it: the removal stands.
    held = CreateFileA(index_file_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    mine.remove_description(wide(y).c_str());
    CloseHandle(held);
    ASSERT_TRUE(write_whole_file(index_file_, index_bytes() + record_bytes(4, y)));
    mine.save_index();
    CInfoHolder last;
    last.load_index();
    EXPECT_EQ(entry_state::unknown, last.lookup(wide(y).c_str()));
    EXPECT_EQ(-1, read_icon_kind(wide(y).c_str()));
}

// Each process writes its own change into the file as it stands, so a
// process that knows an older state never undoes another's change.
TEST_F(StoreTest, AStaleViewNeverUndoesAnotherProcessesChange) {
    std::string a = make_file("a.txt"), b = make_file("b.txt"), c = make_file("c.txt");
    CInfoHolder first;
    ASSERT_EQ(0u, first.add_description(wide(a).c_str(), 1, "a"));
    ASSERT_EQ(0u, first.add_description(wide(b).c_str(), 1, "b"));
    CInfoHolder second;
    second.load_index();
    ASSERT_EQ(0u, first.add_description(wide(a).c_str(), 5, "a changed"));
    first.remove_description(wide(b).c_str());
    ASSERT_EQ(0u, second.add_description(wide(c).c_str(), 2, "c"));
    second.save_index();

    CInfoHolder reloaded;
    reloaded.load_index();
    EXPECT_EQ(5, reloaded.get_icon_kind(wide(a).c_str()));
    EXPECT_EQ(entry_state::unknown, reloaded.lookup(wide(b).c_str()));
    EXPECT_EQ(2, reloaded.get_icon_kind(wide(c).c_str()));
    // The stale process sees the file as it now stands, too.
    EXPECT_EQ(5, second.get_icon_kind(wide(a).c_str()));
    std::string bytes = index_bytes();
    EXPECT_EQ(record_bytes(5, a).size() + record_bytes(2, c).size(), bytes.size());

    // A stream that says otherwise than the record corrects it on reading.
    ASSERT_EQ(0u, item_info(3, wide(c).c_str()).write_description(nullptr));
    std::string text;
    EXPECT_TRUE(second.get_description(wide(c).c_str(), text));
    EXPECT_EQ("c", text);
    EXPECT_EQ(3, second.get_icon_kind(wide(c).c_str()));
    CInfoHolder corrected;
    corrected.load_index();
    EXPECT_EQ(3, corrected.get_icon_kind(wide(c).c_str()));
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

namespace {

void create_wide_file(const std::wstring &path) {
    HANDLE file =
        CreateFileW((L"\\\\?\\" + path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
}

// A path that files.dat cannot hold as it is, is refused before anything is
// opened: its look-alike, or its relative form, names another file.
TEST_F(StoreTest, PathsItCannotStoreAsTheyAreAreRefused) {
    std::string lookalike = make_file("Lodz.txt");
    ASSERT_EQ(0u, item_info(2, wide(lookalike).c_str()).write_description("someone else's"));
    std::wstring real = wide(temp_.path()) + L"\x0141odz.txt";
    create_wide_file(real);

    CInfoHolder holder;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), holder.add_description(real.c_str(), 4, "x"));
    std::string text;
    EXPECT_FALSE(holder.get_description(real.c_str(), text));
    EXPECT_EQ(entry_state::unknown, holder.lookup(real.c_str()));
    EXPECT_EQ(0, holder.get_icon_kind(real.c_str()));
    holder.remove_description(real.c_str());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), holder.enter_described(real.c_str(), 1));
    std::string stream;
    ASSERT_TRUE(read_whole_file(lookalike + ":plivar", stream));
    EXPECT_EQ(std::string("\x02\0\0\0someone else's", 18), stream);
    EXPECT_EQ(-1, read_icon_kind(real.c_str()));
    EXPECT_EQ("", index_bytes());

    // Full-width dots and backslash would become "..\".
    ASSERT_TRUE(CreateDirectoryA((temp_.path() + "sub").c_str(), nullptr));
    std::string victim = make_file("victim.txt");
    std::wstring climbing = wide(temp_.path() + "sub\\") + L"\xFF0E\xFF0E\xFF3Cvictim.txt";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME),
              holder.add_description(climbing.c_str(), 1, "x"));
    EXPECT_EQ(-1, read_icon_kind(wide(victim).c_str()));
    EXPECT_EQ("", index_bytes());

    // Both would read "?????.doc": each keeps a negative entry of its own.
    std::wstring report = wide(temp_.path()) + L"\x041E\x0442\x0447\x0451\x0442.doc";
    std::wstring estimate = wide(temp_.path()) + L"\x0421\x043C\x0435\x0442\x0430.doc";
    holder.mark_not_described(report.c_str());
    EXPECT_EQ(entry_state::not_described, holder.lookup(report.c_str()));
    EXPECT_EQ(entry_state::unknown, holder.lookup(estimate.c_str()));

    // Only a full path in its plain spelling: a relative one names another
    // file from another current folder, another spelling a second record.
    std::string a = make_file("a.txt");
    std::string folder = temp_.path();
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
    for (const std::string &spelling :
         {std::string("a.txt"), std::string(".\\a.txt"), folder + "sub\\..\\a.txt",
          folder + ".\\a.txt", folder.substr(0, 2) + folder.substr(3) + "a.txt",
          folder.substr(0, 2) + "a.txt", "\\\\?\\" + a, folder + "a.txt.", folder + "a.txt ",
          folder + "sub\\", std::string(a).replace(2, 1, "/"), a + ":plivar", a + "::$DATA",
          folder + "a*.txt", std::string("")})
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME),
                  holder.add_description(wide(spelling).c_str(), 1, "x"))
            << spelling;
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(-1, read_icon_kind(wide(a).c_str()));
    EXPECT_EQ("", index_bytes());
    EXPECT_EQ(0u, holder.add_description(wide(folder + "sub").c_str(), 2, "a folder"));
    EXPECT_EQ(2, read_icon_kind(wide(folder + "sub").c_str()));

    // A character the code page has is stored as it is.
    std::wstring accented = wide(temp_.path()) + L"caf\x00E9.txt";
    create_wide_file(accented);
    EXPECT_EQ(0u, holder.add_description(accented.c_str(), 3, "ok"));
    EXPECT_TRUE(holder.get_description(accented.c_str(), text));
    EXPECT_EQ("ok", text);
    EXPECT_EQ(3, read_icon_kind(accented.c_str()));
}

// A stream another program holds open stays, and so does its record: the
// description has not gone anywhere.
TEST_F(StoreTest, ARemovalThatCannotDeleteTheStreamKeepsTheRecord) {
    std::string a = make_file("a.txt");
    CInfoHolder holder;
    ASSERT_EQ(0u, holder.add_description(wide(a).c_str(), 3, "kept"));
    std::string before = index_bytes();
    HANDLE held =
        CreateFileA((a + ":plivar").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    holder.remove_description(wide(a).c_str());
    CloseHandle(held);
    EXPECT_EQ(entry_state::described, holder.lookup(wide(a).c_str()));
    EXPECT_EQ(3, read_icon_kind(wide(a).c_str()));
    EXPECT_EQ(before, index_bytes());
    holder.remove_description(wide(a).c_str());
    EXPECT_EQ(entry_state::unknown, holder.lookup(wide(a).c_str()));
    EXPECT_EQ(-1, read_icon_kind(wide(a).c_str()));
    EXPECT_EQ("", index_bytes());
}

// files.dat holds paths of up to 259 bytes; a longer one is refused rather
// than appended as a record the next load would take for damage.
TEST_F(StoreTest, PathsTooLongForTheIndexAreRefused) {
    std::string folder = temp_.path();
    std::string fits = folder + std::string(259 - folder.size() - 4, 'n') + ".txt";
    ASSERT_EQ(259u, fits.size());
    create_wide_file(wide(fits));
    std::string longer = fits + "x";
    create_wide_file(wide(longer));

    CInfoHolder holder;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE),
              holder.add_description(wide(longer).c_str(), 1, "x"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE),
              holder.enter_described(wide(longer).c_str(), 1));
    EXPECT_EQ(-1, read_icon_kind(wide(longer).c_str()));
    EXPECT_EQ("", index_bytes());

    ASSERT_EQ(0u, holder.add_description(wide(fits).c_str(), 2, "fits"));
    ASSERT_EQ(0u, holder.add_description(wide(make_file("after.txt")).c_str(), 3, "after"));
    CInfoHolder reloaded;
    reloaded.load_index();
    EXPECT_EQ(2, reloaded.get_icon_kind(wide(fits).c_str()));
    EXPECT_EQ(3, reloaded.get_icon_kind(wide(temp_.path() + "after.txt").c_str()));
    EXPECT_FALSE(path_exists(index_file_ + ".bad"));
}

// The overlay's first look at an item and a save on another thread: the
// entry made from what the overlay read never undoes the save.
TEST_F(StoreTest, AnOverlaysFirstLookNeverUndoesASave) {
    std::string a = make_file("a.txt");
    ASSERT_EQ(0u, item_info(1, wide(a).c_str()).write_description("old"));
    int32_t seen = read_icon_kind(wide(a).c_str());
    ASSERT_EQ(1, seen);

    CInfoHolder holder;
    ASSERT_EQ(0u, holder.add_description(wide(a).c_str(), 4, "saved"));
    EXPECT_EQ(0u, holder.enter_described(wide(a).c_str(), seen));
    EXPECT_EQ(4, holder.get_icon_kind(wide(a).c_str()));
    EXPECT_EQ(4, read_icon_kind(wide(a).c_str()));
    std::string text;
    EXPECT_TRUE(holder.get_description(wide(a).c_str(), text));
    EXPECT_EQ("saved", text);
    EXPECT_EQ(record_bytes(4, a), index_bytes());

    // An item seen first is entered without a write to its stream.
    std::string b = make_file("b.txt");
    ASSERT_TRUE(write_whole_file(b + ":plivar", std::string("\x05\0\0\0kept", 8)));
    EXPECT_EQ(0u, holder.enter_described(wide(b).c_str(), 5));
    std::string stream;
    ASSERT_TRUE(read_whole_file(b + ":plivar", stream));
    EXPECT_EQ(std::string("\x05\0\0\0kept", 8), stream);
    EXPECT_EQ(5, holder.get_icon_kind(wide(b).c_str()));
}

} // namespace

namespace {

// The fast path of a change trusts files.dat to be as this process left it
// when its size and write time say so: two writes of the same size, however
// close together, must never look alike.
TEST_F(StoreTest, TwoWritesOfTheSameSizeNeverLookAlike) {
    index_stamp first, second;
    {
        CIndexFile file;
        ASSERT_TRUE(file.open(index_file_.c_str(), OPEN_EXISTING));
        ASSERT_TRUE(file.replace("abcd"));
        first = file.leave();
    }
    {
        CIndexFile file;
        ASSERT_TRUE(file.open(index_file_.c_str(), OPEN_EXISTING));
        EXPECT_TRUE(file.is_as_left(first));
        ASSERT_TRUE(file.replace("wxyz"));
        second = file.leave();
        EXPECT_FALSE(file.is_as_left(first));
        EXPECT_TRUE(file.is_as_left(second));
    }
    EXPECT_EQ(first.size, second.size);
    EXPECT_EQ(1, CompareFileTime(&second.written, &first.written));

    // While one holds the file, another cannot open it; it waits a while.
    CIndexFile holder;
    ASSERT_TRUE(holder.open(index_file_.c_str(), OPEN_EXISTING));
    CIndexFile other;
    DWORD start = GetTickCount();
    EXPECT_FALSE(other.open(index_file_.c_str(), OPEN_EXISTING));
    EXPECT_GE(GetTickCount() - start, 500u);
}

} // namespace

namespace {

std::string stream_file_of(const std::string &path) {
    std::string bytes;
    read_whole_file(path + ":plivar", bytes);
    return bytes;
}

std::string stream_record(int kind, const std::string &text) {
    return std::string(reinterpret_cast<const char *>(&kind), 4) + text;
}

// A batch writes its streams first and then changes files.dat once, on top
// of what another process wrote meanwhile; the last write of a path wins,
// paths sharing a key keep their own records, and a failed item changes
// nothing.
TEST_F(StoreTest, ABatchEntersItsItemsWithOneRewriteOverWhatOthersWrote) {
    auto names = colliding_names();
    ASSERT_FALSE(names.first.empty());
    std::string a = make_file("a.txt"), one = make_file(names.first), two = make_file(names.second),
                missing = temp_.path() + "missing.txt";
    CInfoHolder holder;
    ASSERT_EQ(0u, holder.add_description(wide(a).c_str(), 1, "old"));
    std::string theirs = record_bytes(4, "C:\\theirs.txt");
    ASSERT_TRUE(write_whole_file(index_file_, index_bytes() + theirs));

    std::vector<CInfoHolder::new_description> batch = {
        {wide(one), 2, "first of one"}, {wide(a), 3, "new"},         {wide(missing), 0, "none"},
        {wide(two), 5, "two"},          {wide(one), 0, "one again"},
    };
    auto results = holder.add_descriptions(batch);
    ASSERT_EQ(batch.size(), results.size());
    for (size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(i == 2 ? static_cast<DWORD>(ERROR_FILE_NOT_FOUND) : 0u, results[i].code) << i;
    EXPECT_EQ(item_info::merge_outcome::written, results[4].outcome);
    EXPECT_FALSE(path_exists(missing));
    EXPECT_EQ(stream_record(0, "one again"), stream_file_of(one));
    EXPECT_EQ(stream_record(3, "new"), stream_file_of(a));

    std::string bytes = index_bytes();
    size_t expected_size = 0;
    for (const std::string &record :
         {theirs, record_bytes(3, a), record_bytes(0, one), record_bytes(5, two)}) {
        size_t at = bytes.find(record);
        EXPECT_NE(std::string::npos, at) << record;
        EXPECT_EQ(std::string::npos, bytes.find(record, at + 1)) << record;
        expected_size += record.size();
    }
    EXPECT_EQ(expected_size, bytes.size());
    // Another process reads the same index.
    CInfoHolder reader;
    reader.load_index();
    auto records = reader.records();
    ASSERT_EQ(4u, records.size());
    for (size_t i = 1; i < records.size(); ++i)
        EXPECT_LE(records[i - 1]->key, records[i]->key);
    EXPECT_EQ(0, holder.get_icon_kind(wide(one).c_str()));
    EXPECT_EQ(5, reader.get_icon_kind(wide(two).c_str()));

    // The same batch again finds every stream as it should be.
    batch.erase(batch.begin() + 2);
    batch.erase(batch.begin());
    results = holder.add_descriptions(batch);
    for (const auto &result : results)
        EXPECT_EQ(item_info::merge_outcome::in_place, result.outcome);
    EXPECT_EQ(bytes, index_bytes());
}

// What merge_description does with each state of a stream; a stream that
// keeps its text keeps its bytes, and a shorter text leaves no tail.
TEST_F(StoreTest, AMergeWritesOnlyWhatTheStreamDoesNotHold) {
    std::string path = make_file("item.txt");
    item_info item(2, wide(path).c_str());
    item_info::merge_outcome outcome;
    int32_t held;
    const std::string no_stream = "none";
    struct merge_case {
        std::string stored;
        const char *text;
        bool keep_text, keep_kind;
        item_info::merge_outcome outcome;
        int32_t held;
        std::string after;
    } cases[] = {
        {no_stream, "new", true, false, item_info::merge_outcome::written, -1,
         stream_record(2, "new")},
        {stream_record(3, "longer old text"), "new", true, true, item_info::merge_outcome::kept, 3,
         stream_record(3, "longer old text")},
        {stream_record(3, "longer old text"), "new", false, true, item_info::merge_outcome::written,
         3, stream_record(3, "new")},
        {stream_record(3, "longer old text"), "new", false, false,
         item_info::merge_outcome::written, 3, stream_record(2, "new")},
        {stream_record(2, "new"), "new", false, false, item_info::merge_outcome::in_place, 2,
         stream_record(2, "new")},
        {std::string("\x02\0", 2), "new", true, false, item_info::merge_outcome::written, -1,
         stream_record(2, "new")},
    };
    // Whichever open comes first, the result is the same.
    for (bool stream_expected : {true, false}) {
        for (const merge_case &c : cases) {
            DeleteFileA((path + ":plivar").c_str());
            if (c.stored != no_stream) {
                ASSERT_TRUE(write_whole_file(path + ":plivar", c.stored));
            }
            EXPECT_EQ(0u, item.merge_description(c.text, c.keep_text, c.keep_kind, outcome, held,
                                                 stream_expected));
            EXPECT_EQ(c.outcome, outcome) << c.stored;
            EXPECT_EQ(c.held, held) << c.stored;
            EXPECT_EQ(c.after, stream_file_of(path)) << c.stored;
        }
        item_info gone(1, wide(temp_.path() + "gone.txt").c_str());
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
                  gone.merge_description("x", false, false, outcome, held, stream_expected));
        EXPECT_FALSE(path_exists(temp_.path() + "gone.txt"));
    }
}

} // namespace
