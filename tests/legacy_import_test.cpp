#include "tests/store_fixture.h"

#include <cstdint>
#include <vector>

#include "module/legacy_import.h"
#include "tests/message_box_catcher.h"

namespace {

const char converted_text[] = "Globals descriptions was be succeeded converted , but local "
                              "description not supported at this version";

void put32(std::string &out, int32_t v) {
    out.append(reinterpret_cast<const char *>(&v), 4);
}
void put_marker(std::string &out) {
    out.append("\x29\x01", 2);
}

std::string tree_of(const std::vector<std::vector<std::string>> &levels) {
    std::string out;
    put32(out, static_cast<int32_t>(levels.size()));
    for (const auto &level : levels) {
        put32(out, static_cast<int32_t>(level.size()));
        for (const auto &name : level) {
            put32(out, static_cast<int32_t>(name.size()));
            out += name;
            put_marker(out);
        }
    }
    return out;
}

std::string record_of(const std::string &name, const std::vector<int32_t> &indexes,
                      const std::string &text) {
    std::string out;
    put32(out, static_cast<int32_t>(name.size()));
    out += name;
    put32(out, static_cast<int32_t>(indexes.size()));
    for (int32_t index : indexes)
        put32(out, index);
    put32(out, static_cast<int32_t>(text.size()));
    out += text;
    put_marker(out);
    return out;
}

typedef std::vector<std::pair<std::string, std::string>> found_list;

found_list parse(const std::string &tree, const std::string &descr) {
    found_list found;
    parse_legacy_descriptions(tree, descr, [&](const std::string &path, const std::string &text) {
        found.emplace_back(path, text);
    });
    return found;
}

TEST_F(StoreTest, LegacyImportMovesDescriptionsOntoTheItems) {
    CreateDirectoryA("C:\\Docs", nullptr);
    ASSERT_TRUE(write_whole_file("C:\\Docs\\a.txt", "content"));
    std::string base = temp_.path();
    ASSERT_TRUE(write_whole_file(base + "tree.dat", tree_of({{"C:", "D:"}, {"Docs"}})));
    ASSERT_TRUE(write_whole_file(base + "descr.dat", record_of("a.txt", {0, 0}, "hello")));
    {
        MessageBoxCatcher catcher("Error", IDOK);
        import_legacy_descriptions(base);
        EXPECT_EQ(converted_text, catcher.text());
    }
    std::string stream;
    ASSERT_TRUE(read_whole_file("C:\\Docs\\a.txt:plivar", stream));
    EXPECT_EQ(std::string("\0\0\0\0hello", 9), stream);
    EXPECT_EQ(CInfoHolder::entry_state::described, info_holder.lookup(L"C:\\Docs\\a.txt"));
    EXPECT_NE(std::string::npos, index_bytes().find("C:\\Docs\\a.txt"));
    EXPECT_FALSE(path_exists(base + "tree.dat"));
    EXPECT_FALSE(path_exists(base + "descr.dat"));
    info_holder.remove_description(L"C:\\Docs\\a.txt");
    delete_tree("C:\\Docs");
}

TEST_F(StoreTest, LegacyImportOfAnEmptyDescriptionFileStillTellsTheUser) {
    std::string base = temp_.path();
    ASSERT_TRUE(write_whole_file(base + "tree.dat", tree_of({{"C:"}})));
    ASSERT_TRUE(write_whole_file(base + "descr.dat", ""));
    MessageBoxCatcher catcher("Error", IDOK);
    import_legacy_descriptions(base);
    EXPECT_EQ(converted_text, catcher.text());
    EXPECT_FALSE(path_exists(base + "descr.dat"));
}

TEST_F(StoreTest, LegacyImportWithoutTheTreeFileDoesNothing) {
    std::string base = temp_.path();
    ASSERT_TRUE(write_whole_file(base + "descr.dat", record_of("x", {}, "y")));
    MessageBoxCatcher catcher("Error", IDOK, 500);
    import_legacy_descriptions(base);
    EXPECT_FALSE(catcher.caught());
    EXPECT_TRUE(path_exists(base + "descr.dat"));
}

// What the import cannot read whole (too large, held by another program)
// stays where it is, and the user is not told of a conversion.
TEST_F(StoreTest, LegacyFilesItCannotReadWholeStay) {
    std::string base = temp_.path();
    std::string tree = base + "tree.dat", descr = base + "descr.dat";
    ASSERT_TRUE(write_whole_file(tree, tree_of({{"C:"}})));
    ASSERT_TRUE(write_whole_file(descr, record_of("x.txt", {0}, "y")));
    auto import_expecting_nothing = [&] {
        MessageBoxCatcher catcher("Error", IDOK, 1000);
        import_legacy_descriptions(base);
        EXPECT_FALSE(catcher.caught());
        EXPECT_TRUE(path_exists(tree));
        EXPECT_TRUE(path_exists(descr));
    };

    HANDLE held = CreateFileA(descr.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    import_expecting_nothing();
    CloseHandle(held);

    for (const std::string &huge : {descr, tree}) {
        HANDLE file =
            CreateFileA(huge.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        LARGE_INTEGER size;
        size.QuadPart = 0x10000001;
        ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file));
        CloseHandle(file);
        import_expecting_nothing();
    }
    EXPECT_EQ("", index_bytes());
}

// Files that do not read whole, or hold a description that cannot be
// entered (a bare name names no file of its own), stay for another try, and
// the user is not told of a conversion.
TEST_F(StoreTest, LegacyFilesWithWhatCannotBeImportedStay) {
    CreateDirectoryA("C:\\Docs", nullptr);
    ASSERT_TRUE(write_whole_file("C:\\Docs\\b.txt", "content"));
    std::string base = temp_.path();
    std::string tree = tree_of({{"C:", "Q:"}, {"Docs"}});
    ASSERT_FALSE(path_exists("Q:\\"));
    for (const std::string &descr :
         {record_of("b.txt", {0, 0}, "kept") + record_of("bare.txt", {}, "no folder"),
          record_of("b.txt", {0, 0}, "kept") + "trailing bytes",
          // A drive not there for the registering user.
          record_of("b.txt", {0, 0}, "kept") + record_of("far.txt", {1, 0}, "on Q:")}) {
        ASSERT_TRUE(write_whole_file(base + "tree.dat", tree));
        ASSERT_TRUE(write_whole_file(base + "descr.dat", descr));
        MessageBoxCatcher catcher("Error", IDOK, 1000);
        import_legacy_descriptions(base);
        EXPECT_FALSE(catcher.caught());
        EXPECT_TRUE(path_exists(base + "tree.dat"));
        EXPECT_TRUE(path_exists(base + "descr.dat"));
        EXPECT_EQ(0, read_icon_kind(L"C:\\Docs\\b.txt"));
    }
    // A tree.dat alone that is no folder table is someone else's file.
    ASSERT_TRUE(DeleteFileA((base + "descr.dat").c_str()));
    ASSERT_TRUE(write_whole_file(base + "tree.dat", "a user's own tree.dat"));
    import_legacy_descriptions(base);
    EXPECT_TRUE(path_exists(base + "tree.dat"));
    info_holder.remove_description(L"C:\\Docs\\b.txt");
    delete_tree("C:\\Docs");
}

TEST(LegacyFormat, BuildsPathsFromTheFolderTable) {
    std::string tree = tree_of({{"C:", "D:"}, {"Docs", "Music"}});
    std::string descr = record_of("a.txt", {1, 1}, "one") + record_of("bare", {}, "two") +
                        record_of("b.txt", {0}, std::string("cut\0here", 8));
    found_list expected = {{"D:\\Music\\a.txt", "one"}, {"bare", "two"}, {"C:\\b.txt", "cut"}};
    EXPECT_EQ(expected, parse(tree, descr));
}

TEST(LegacyFormat, FolderNamesUpTo260Bytes) {
    std::string long_name(260, 'L');
    EXPECT_EQ(1u, parse(tree_of({{long_name}}), record_of("f", {0}, "t")).size());
    // 261 bytes end the table: level 0 then holds one empty name only.
    found_list cut = parse(tree_of({{long_name + "X"}}), record_of("f", {0}, "t"));
    ASSERT_EQ(1u, cut.size());
    EXPECT_EQ("\\f", cut[0].first);
}

TEST(LegacyFormat, OutOfRangeCountsAndIndexesEndTheReading) {
    std::string tree = tree_of({{"C:"}});
    EXPECT_TRUE(parse(tree, record_of("a", {1}, "t")).empty());    // index past its level
    EXPECT_TRUE(parse(tree, record_of("a", {-1}, "t")).empty());   // negative index
    EXPECT_TRUE(parse(tree, record_of("a", {0, 0}, "t")).empty()); // deeper than the table
    EXPECT_TRUE(parse(tree, record_of("a", {0}, std::string(1024, 'x'))).empty());
    EXPECT_EQ(1u, parse(tree, record_of("a", {0}, std::string(1023, 'x'))).size());

    std::string huge_levels;
    put32(huge_levels, 0x7fffffff);
    EXPECT_EQ(1u, parse(huge_levels, record_of("bare", {}, "t")).size());
    EXPECT_TRUE(parse(huge_levels, record_of("a", {0}, "t")).empty());

    std::string bad_marker = record_of("a", {0}, "t");
    bad_marker[bad_marker.size() - 1] = 0;
    EXPECT_EQ(1u, parse(tree, bad_marker + record_of("b", {0}, "u")).size());
}

// Seeded corruptions of valid files: every result stays within the data.
TEST(LegacyFormat, SurvivesThousandsOfCorruptions) {
    std::string tree = tree_of({{"C:", "D:", "E:"}, {"Docs", "Work"}, {"deep"}});
    std::string descr;
    for (int i = 0; i < 8; ++i)
        descr +=
            record_of("file" + std::to_string(i), {i % 3, i % 2, 0}, "text " + std::to_string(i));
    uint32_t seed = 20261207;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    size_t handed_over = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string t = tree, d = descr;
        std::string &target = round % 2 ? t : d;
        for (int flips = 1 + next() % 4; flips > 0; --flips)
            target[next() % target.size()] = static_cast<char>(next() >> 24);
        if (round % 5 == 0)
            target.resize(next() % target.size());
        parse_legacy_descriptions(t, d, [&](const std::string &path, const std::string &text) {
            EXPECT_LE(path.size(), 3u * 261 + 1024);
            EXPECT_LE(text.size(), 1023u);
            ++handed_over;
        });
    }
    EXPECT_GT(handed_over, 0u);
}

} // namespace
