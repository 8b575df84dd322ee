#include "tests/dll_fixture.h"

#include "module/settings.h"
#include "shell/info_tip.h"

namespace {

class InfoTip : public DllTest {
  protected:
    void TearDown() override {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, settings_key_path);
        DllTest::TearDown();
    }
    void set_full_content(bool on) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0, nullptr,
                                                 0, KEY_SET_VALUE, nullptr, &key, nullptr));
        DWORD value = on ? 1 : 0;
        RegSetValueExA(key, full_search_value_name, 0, REG_DWORD,
                       reinterpret_cast<const BYTE *>(&value), sizeof(value));
        RegCloseKey(key);
    }
};

const wchar_t hint[] = L"If you want to see full content - \n check manage description - options";

TEST_F(InfoTip, DescribedFileShowsExactlyItsDescription) {
    std::string file = make_file("described.txt");
    write_stream(file, 2, "first line\nsecond line");
    // Not yet in the index: the generated tip, not the stream's text.
    EXPECT_EQ(0u, info_tip(file).find(L"File name : described.txt\n"));
    ASSERT_EQ(S_OK, is_member(2, file));
    EXPECT_EQ(L"first line\nsecond line", info_tip(file));
    // An empty text falls back to the generated tip.
    write_stream(file, 2, "");
    EXPECT_EQ(0u, info_tip(file).find(L"File name : described.txt\n"));
}

TEST_F(InfoTip, FileDetailsGiveSizeAndLocalTimesWithoutLeadingZeros) {
    std::string file = make_file("report.txt", std::string(1001, 'x'));
    SYSTEMTIME local = {2015, 3, 0, 5, 9, 7, 0, 0}, utc;
    FILETIME time;
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &time));
    HANDLE handle =
        CreateFileA(file.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(SetFileTime(handle, nullptr, &time, &time));
    CloseHandle(handle);

    std::wstring tip = info_tip(file);
    EXPECT_EQ(0u, tip.find(L"File name : report.txt\nFile size : 1.00 Kb\nCreated : ")) << tip;
    EXPECT_NE(std::wstring::npos,
              tip.find(L"\nLast opened : 5.3.2015 9:7\nLast changed : 5.3.2015 9:7"))
        << tip;
    EXPECT_EQ(tip.size() - wcslen(L"5.3.2015 9:7"), tip.rfind(L"5.3.2015 9:7"));

    std::wstring exact = info_tip(make_file("k.txt", std::string(1000, 'x')));
    EXPECT_NE(std::wstring::npos, exact.find(L"File size : 1000.00 byte\n")) << exact;
}

TEST_F(InfoTip, SizesBeyondFourGigabytesStayWhole) {
    EXPECT_EQ(L"5.00 Gb", format_size(5000000000ull));
    EXPECT_EQ(L"4.29 Gb", format_size(4294967295ull));
    EXPECT_EQ(L"0.00 byte", format_size(0));
    EXPECT_EQ(L"1.00 Mb", format_size(1000001));
    EXPECT_EQ(L"1000.00 Kb", format_size(1000000));

    std::string big = data_ + "big.bin";
    HANDLE handle = CreateFileA(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    LARGE_INTEGER size;
    size.QuadPart = 5000000000ll;
    ASSERT_TRUE(SetFilePointerEx(handle, size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(handle));
    CloseHandle(handle);
    EXPECT_NE(std::wstring::npos, info_tip(big).find(L"File size : 5.00 Gb\n"));
}

TEST_F(InfoTip, FilesHeldOpenOrOnLongPathsStillGetTheirTip) {
    std::string file = make_file("locked.txt", "abc");
    HANDLE held = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_NE(std::wstring::npos, info_tip(file).find(L"File size : 3.00 byte\n"));
    CloseHandle(held);

    std::string deep = make_folder(std::string(120, 'd'));
    std::string long_path = deep + "\\" + std::string(60, 'f') + ".txt";
    ASSERT_GT(long_path.size(), 200u);
    ASSERT_TRUE(write_whole_file(long_path, "12345"));
    EXPECT_NE(std::wstring::npos, info_tip(long_path).find(L"File size : 5.00 byte\n"));
}

TEST_F(InfoTip, FolderListsEntriesLargestFirstWithFullContent) {
    std::string folder = make_folder("tree");
    ASSERT_TRUE(write_whole_file(folder + "\\a", std::string(2000, 'a')));
    make_folder("tree\\bbb");
    ASSERT_TRUE(write_whole_file(folder + "\\bbb\\inner", std::string(500, 'b')));
    ASSERT_TRUE(write_whole_file(folder + "\\.hidden", std::string(7000, 'h')));
    make_folder("tree\\.git");
    ASSERT_TRUE(write_whole_file(folder + "\\.git\\x", std::string(9000, 'g')));

    set_full_content(true);
    EXPECT_EQ(L"Total size = 2.50 Kb\na---2.00 Kb** bbb-500.00 byte** ", info_tip(folder));
    set_full_content(false);
    EXPECT_EQ(std::wstring(L"Total size = 2.50 Kb\n") + hint, info_tip(folder));
}

TEST_F(InfoTip, LongNamesAreCutAfterTwentySevenCharacters) {
    std::string folder = make_folder("names");
    std::string name27(27, 'n'), name28 = std::string(27, 'm') + "X";
    ASSERT_TRUE(write_whole_file(folder + "\\" + name27, std::string(20, 'x')));
    ASSERT_TRUE(write_whole_file(folder + "\\" + name28, std::string(10, 'x')));
    set_full_content(true);
    std::wstring expected = L"Total size = 30.00 byte\n" + wide(name27) + L"----20.00 byte** " +
                            wide(std::string(27, 'm')) + L"...-10.00 byte** ";
    EXPECT_EQ(expected, info_tip(folder));
}

TEST_F(InfoTip, EmptyFolderDrivesRootsAndMissingItems) {
    std::string folder = make_folder("empty");
    set_full_content(true);
    EXPECT_EQ(L"Total size = 0.00 byte\n", info_tip(folder));
    set_full_content(false);
    EXPECT_EQ(std::wstring(L"Total size = 0.00 byte\n") + hint, info_tip(folder));

    bool had_tip = true;
    info_tip("C:\\", &had_tip);
    EXPECT_FALSE(had_tip);
    info_tip(data_ + "missing.txt", &had_tip);
    EXPECT_FALSE(had_tip);
    info_tip("", &had_tip);
    EXPECT_FALSE(had_tip);
}

// The budget and the pointer are checked before every entry; a request that
// began long ago, or where the pointer now stands elsewhere, shows it.
TEST(FolderWalk, StopsAtTheTimeBudgetWithAPartialSum) {
    TempFolder temp;
    ASSERT_TRUE(write_whole_file(temp.path() + "f", std::string(100, 'x')));
    std::wstring folder = DllTest::wide(temp.path().substr(0, temp.path().size() - 1));
    POINT at;
    GetCursorPos(&at);

    tip_request late;
    late.start_cursor = at;
    late.start_ticks = GetTickCount() - 3001;
    std::wstring text;
    ASSERT_TRUE(folder_summary_text(folder, late, text));
    EXPECT_EQ(L"Total size more than 0.00 byte", text);

    tip_request in_time;
    in_time.start_cursor = at;
    in_time.start_ticks = GetTickCount() - 2900;
    ASSERT_TRUE(folder_summary_text(folder, in_time, text));
    EXPECT_EQ(0u, text.find(L"Total size = 100.00 byte\n"));

    tip_request unreadable;
    unreadable.start_ticks = GetTickCount();
    unreadable.start_cursor = at;
    ASSERT_TRUE(folder_summary_text(folder + L"\\missing", unreadable, text));
    EXPECT_EQ(L"Total size more than 0.00 byte", text);
}

// With the request as a folder tip sets it up: the pointer is looked at
// before the first entry, however quickly the walk ends.
TEST(FolderWalk, EndsWithNoTipWhenThePointerMovesMoreThanFivePixels) {
    TempFolder temp;
    ASSERT_TRUE(write_whole_file(temp.path() + "f", "x"));
    std::wstring folder = DllTest::wide(temp.path().substr(0, temp.path().size() - 1));
    const POINT moves[] = {{6, 0}, {0, -6}, {5, -5}, {0, 0}};
    for (POINT move : moves) {
        ASSERT_TRUE(SetCursorPos(300, 300));
        tip_request request = start_tip_request();
        ASSERT_EQ(300, request.start_cursor.x);
        ASSERT_TRUE(SetCursorPos(300 + move.x, 300 + move.y));
        std::wstring text;
        bool moved_away = move.x > 5 || move.y < -5;
        EXPECT_EQ(!moved_away, folder_summary_text(folder, request, text))
            << move.x << "," << move.y;
        if (!moved_away) {
            EXPECT_EQ(0u, text.find(L"Total size = 1.00 byte\n"));
        }
    }
}

// A clock that advances one millisecond each time it is read, so the time
// budget runs out at a chosen step of the walk.
DWORD fake_now;
DWORD WINAPI fake_clock() {
    return fake_now++;
}

// The budget running out anywhere, also inside the last subfolder when no
// folder above it has anything left to list, gives a lower bound, never a
// total.
TEST(FolderWalk, ABudgetSpentInTheLastSubfolderGivesNoTotal) {
    TempFolder temp;
    std::string top = temp.path() + "top";
    ASSERT_TRUE(CreateDirectoryA(top.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((top + "\\z_last").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((top + "\\z_last\\deeper").c_str(), nullptr));
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(write_whole_file(top + "\\z_last\\deeper\\f" + std::to_string(i), "12345"));
    std::wstring folder = DllTest::wide(top);

    POINT at;
    GetCursorPos(&at);
    for (DWORD steps : {3u, 10u, 30u, 60u, 2000u}) {
        tip_request request;
        request.clock = fake_clock;
        request.start_cursor = at;
        fake_now = 1000000;
        request.start_ticks = fake_now - 3000 + steps;
        std::wstring text;
        ASSERT_TRUE(folder_summary_text(folder, request, text));
        if (steps == 2000u)
            EXPECT_EQ(0u, text.find(L"Total size = 200.00 byte\n")) << text;
        else
            EXPECT_EQ(0u, text.find(L"Total size more than ")) << steps << ": " << text;
    }
}

// A subfolder that cannot be listed counts nothing; it does not make the
// total a lower bound.
TEST(FolderWalk, ASubfolderThatCannotBeListedCountsNothing) {
    TempFolder temp;
    std::string top = temp.path() + "top";
    ASSERT_TRUE(CreateDirectoryA(top.c_str(), nullptr));
    ASSERT_TRUE(write_whole_file(top + "\\f.txt", std::string(10, 'x')));
    ASSERT_TRUE(CreateDirectoryA((top + "\\c_ok").c_str(), nullptr));
    ASSERT_TRUE(write_whole_file(top + "\\c_ok\\in.txt", std::string(5, 'x')));
    // A trailing dot: listed by its parent, but no plain path reaches it.
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + DllTest::wide(top) + L"\\a_sub.").c_str(), nullptr));
    tip_request request = start_tip_request();
    request.full_content = true;
    std::wstring text;
    ASSERT_TRUE(folder_summary_text(DllTest::wide(top), request, text));
    EXPECT_EQ(0u, text.find(L"Total size = 15.00 byte\n")) << text;
    RemoveDirectoryW((L"\\\\?\\" + DllTest::wide(top) + L"\\a_sub.").c_str());
}

// A link back to an ancestor must not make the walk endless.
TEST_F(InfoTip, LinkToAnAncestorEndsTheWalk) {
    std::string folder = make_folder("loop");
    ASSERT_TRUE(write_whole_file(folder + "\\f", std::string(10, 'x')));
    std::string link = folder + "\\back";
    if (!CreateSymbolicLinkA(link.c_str(), folder.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY))
        GTEST_SKIP() << "no symbolic links here (error " << GetLastError() << ")";
    ASSERT_NE(0u, GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    set_full_content(true);
    std::wstring tip = info_tip(folder);
    EXPECT_EQ(0u, tip.find(L"Total size = 10.00 byte\n")) << tip;
    RemoveDirectoryA(link.c_str());
}

} // namespace
