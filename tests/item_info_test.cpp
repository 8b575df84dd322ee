#include <gtest/gtest.h>

#include <string>

#include "store/item_info.h"
#include "store/path_text.h"
#include "tests/test_support.h"

namespace {

class DescriptionStream : public ::testing::Test {
  protected:
    void SetUp() override {
        file_ = temp_.path() + "plan.txt";
        ASSERT_TRUE(write_whole_file(file_, "content"));
    }
    std::wstring wide(const std::string &s) { return std::wstring(s.begin(), s.end()); }
    item_info item(int kind) { return item_info(kind, wide(file_).c_str()); }
    std::string stream_bytes() {
        std::string bytes;
        EXPECT_TRUE(read_whole_file(file_ + ":plivar", bytes));
        return bytes;
    }
    std::string read_back() {
        std::string text = "unchanged";
        EXPECT_EQ(0u, item(0).read_description(text));
        return text;
    }

    TempFolder temp_;
    std::string file_;
};

TEST(PathHash, FollowsTimesThirtyThreePlusCodeUnit) {
    EXPECT_EQ(0u, path_hash(L""));
    EXPECT_EQ(65u, path_hash(L"A"));
    EXPECT_EQ(2211u, path_hash(L"AB"));
    EXPECT_EQ((65u * 33 + 58) * 33 + 92, path_hash(L"A:\\"));
    EXPECT_EQ(0x237D9428u, path_hash(L"C:\\a.txt"));
    EXPECT_NE(path_hash(L"C:\\A.txt"), path_hash(L"c:\\a.txt"));
    EXPECT_THROW(path_hash(nullptr), hresult_error);
}

TEST_F(DescriptionStream, StoresKindThenTextWithoutTerminator) {
    item_info record = item(3);
    EXPECT_EQ(0u, record.write_description("abc"));
    EXPECT_EQ(std::string("\x03\x00\x00\x00"
                          "abc",
                          7),
              stream_bytes());
    EXPECT_EQ("abc", read_back());
    EXPECT_EQ(3, read_icon_kind(wide(file_).c_str()));
}

TEST_F(DescriptionStream, ReadsTextsUpToTheLongestTheEditorSaves) {
    std::string longest(2048, 'x');
    EXPECT_EQ(0u, item(1).write_description(longest.c_str()));
    EXPECT_EQ(2052u, stream_bytes().size());
    EXPECT_EQ(longest, read_back());

    std::string shorter(2047, 'y');
    EXPECT_EQ(0u, item(1).write_description(shorter.c_str()));
    EXPECT_EQ(shorter, read_back());

    std::string too_long(3000, 'z');
    EXPECT_EQ(0u, item(1).write_description(too_long.c_str()));
    EXPECT_EQ(std::string(2048, 'z'), read_back());
}

TEST_F(DescriptionStream, RejectsRecordsOutsideTheWindow) {
    ASSERT_TRUE(write_whole_file(file_ + ":plivar", std::string("\x02\x00\x00\x00", 4)));
    EXPECT_EQ("unchanged", read_back());
    EXPECT_EQ(2, read_icon_kind(wide(file_).c_str()));

    ASSERT_TRUE(
        write_whole_file(file_ + ":plivar", std::string("\x05\0\0\0", 4) + std::string(2049, 'a')));
    EXPECT_EQ("unchanged", read_back());

    ASSERT_TRUE(write_whole_file(file_ + ":plivar", std::string("\x05\x00", 2)));
    EXPECT_EQ(-1, read_icon_kind(wide(file_).c_str()));
    ASSERT_TRUE(write_whole_file(file_ + ":plivar", std::string("\x01\x00\x00\x00"
                                                                "ab\0cd",
                                                                9)));
    EXPECT_EQ("ab", read_back());
}

TEST_F(DescriptionStream, ATextWriteCutsTheOldTailAHeaderWriteKeepsIt) {
    EXPECT_EQ(0u, item(2).write_description("a long first description"));
    EXPECT_EQ(0u, item(2).write_description("abc"));
    EXPECT_EQ("abc", read_back());

    EXPECT_EQ(0u, item(4).write_description(nullptr));
    EXPECT_EQ(std::string("\x04\x00\x00\x00"
                          "abc",
                          7),
              stream_bytes());
    EXPECT_EQ("abc", read_back());

    EXPECT_EQ(0u, item(4).write_description(""));
    EXPECT_EQ(4u, stream_bytes().size());
}

TEST_F(DescriptionStream, FoldersCarryStreamsAsFilesDo) {
    std::string folder = temp_.path() + "Projects";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    item_info record(5, wide(folder).c_str());
    EXPECT_EQ(0u, record.write_description("folder text"));
    std::string text;
    EXPECT_EQ(0u, record.read_description(text));
    EXPECT_EQ("folder text", text);
    EXPECT_EQ(5, read_icon_kind(wide(folder).c_str()));
    record.delete_description();
    EXPECT_EQ(-1, read_icon_kind(wide(folder).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), record.read_description(text));
}

TEST_F(DescriptionStream, MissingItemsReportTheOpenError) {
    item_info missing(0, wide(temp_.path() + "gone.txt").c_str());
    std::string text = "unchanged";
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), missing.write_description("x"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), missing.read_description(text));
    EXPECT_EQ("unchanged", text);
    missing.delete_description();
    EXPECT_FALSE(path_exists(temp_.path() + "gone.txt"));
    EXPECT_EQ(-1, read_icon_kind(wide(temp_.path() + "gone.txt").c_str()));
    EXPECT_EQ(-1, read_icon_kind(nullptr));
}

TEST(IndexRecord, IsByteForByteTheStoredFormat) {
    item_info record(1, L"C:\\a.txt");
    std::string bytes;
    record.save_record(bytes);
    const unsigned char expected[32] = {0xEC, 0xDE, 0x01, 0xC0, 0x28, 0x94, 0x7D, 0x23,
                                        0x08, 0x00, 0x00, 0x00, 'C',  ':',  '\\', 'a',
                                        '.',  't',  'x',  't',  0,    0,    0,    0,
                                        0,    0,    0,    0,    0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(expected), 32), bytes);

    item_info loaded;
    const char *pos = bytes.data();
    EXPECT_EQ(1, loaded.load_record(pos, bytes.data() + bytes.size()));
    EXPECT_EQ(bytes.data() + 32, pos);
    EXPECT_EQ("C:\\a.txt", loaded.path);
    EXPECT_EQ(0x237D9428u, loaded.key);
    EXPECT_EQ(1, loaded.icon_kind);
    EXPECT_EQ(0, loaded.load_record(pos, bytes.data() + bytes.size()));
}

TEST(IndexRecord, TellsDamageFromACleanEnd) {
    item_info record(1, L"C:\\a.txt");
    std::string good;
    record.save_record(good);
    auto load = [](const std::string &bytes) {
        item_info scratch;
        const char *pos = bytes.data();
        return scratch.load_record(pos, bytes.data() + bytes.size());
    };
    EXPECT_EQ(0, load(good.substr(0, 3)));
    for (size_t cut = 4; cut < good.size(); ++cut)
        EXPECT_EQ(-1, load(good.substr(0, cut))) << cut;
    std::string wrong_marker = good;
    wrong_marker[0] = 'X';
    EXPECT_EQ(-1, load(wrong_marker));

    std::string long_path = good;
    uint32_t length = 260;
    long_path.replace(8, 4, reinterpret_cast<const char *>(&length), 4);
    long_path.insert(12, 252, 'p');
    EXPECT_EQ(-1, load(long_path));
    length = 259;
    long_path.replace(8, 4, reinterpret_cast<const char *>(&length), 4);
    EXPECT_EQ(1, load(long_path));

    std::string past_end = good;
    length = 0x7fffffff;
    past_end.replace(8, 4, reinterpret_cast<const char *>(&length), 4);
    EXPECT_EQ(-1, load(past_end));
}

} // namespace

TEST(TextCut, NeverSplitsACharacter) {
    // Shift-JIS: "A" then three double-byte characters (0x82 0xA0 is あ).
    std::string sjis = "A\x82\xA0\x82\xA0\x82\xA0";
    EXPECT_EQ(7u, whole_characters_within(sjis, 7, 932));
    EXPECT_EQ(5u, whole_characters_within(sjis, 6, 932)) << "the cut falls inside the third";
    EXPECT_EQ(5u, whole_characters_within(sjis, 5, 932));
    EXPECT_EQ(1u, whole_characters_within(sjis, 2, 932));
    // A trail byte that looks like a lead byte of its own is still a trail.
    std::string trail_like = "\x81\x81\x81\x81";
    EXPECT_EQ(2u, whole_characters_within(trail_like, 3, 932));
    // UTF-8: "é" is two bytes, "€" three.
    std::string utf8 = "a\xC3\xA9\xE2\x82\xAC";
    EXPECT_EQ(3u, whole_characters_within(utf8, 4, CP_UTF8));
    EXPECT_EQ(3u, whole_characters_within(utf8, 5, CP_UTF8));
    EXPECT_EQ(6u, whole_characters_within(utf8, 6, CP_UTF8));
    // Single-byte code pages cut where asked.
    EXPECT_EQ(3u, whole_characters_within("\xE9\xE9\xE9\xE9", 3, 1252));
}
