#include "tests/dll_fixture.h"

#include "module/class_ids.h"

#include <functional>
#include <utility>

namespace {

class Overlay : public DllTest {};

TEST_F(Overlay, OnlyTheObjectOfTheStoredKindAnswersYes) {
    std::string file = make_file("kind3.txt");
    write_stream(file, 3, "text from elsewhere");
    for (int kind = 0; kind < 6; ++kind)
        EXPECT_EQ(kind == 3 ? S_OK : S_FALSE, is_member(kind, file)) << kind;
}

TEST_F(Overlay, ItemDescribedElsewhereEntersTheIndexFile) {
    std::string file = make_file("travelled.txt");
    write_stream(file, 1, "kept text");
    EXPECT_EQ(S_OK, is_member(1, file));
    std::string bytes = index_file_bytes();
    EXPECT_NE(std::string::npos, bytes.find(file))
        << "files.dat holds " << bytes.size() << " bytes";
    std::string stream;
    ASSERT_TRUE(read_whole_file(file + ":plivar", stream));
    EXPECT_EQ(std::string("\x01\0\0\0kept text", 13), stream);
}

TEST_F(Overlay, UndescribedPathIsLookedAtOnlyOnce) {
    std::string file = make_file("plain.txt");
    EXPECT_EQ(S_FALSE, is_member(0, file));
    write_stream(file, 0, "behind the library's back");
    for (int kind = 0; kind < 6; ++kind)
        EXPECT_EQ(S_FALSE, is_member(kind, file));
    EXPECT_EQ(S_FALSE, is_member(0, "A:\\"));
}

// "Łodz2.txt" would best-fit to "Lodz2.txt": the overlay must neither index
// nor write to that other file, and answers no for the real one.
TEST_F(Overlay, APathOutsideTheCodePageNeverReachesItsLookAlike) {
    std::string lookalike = make_file("Lodz2.txt");
    write_stream(lookalike, 1, "someone else's");
    std::wstring real = wide(data_) + L"\x0141odz2.txt";
    HANDLE file = CreateFileW((real + L":plivar").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              0, nullptr);
    CloseHandle(CreateFileW(real.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, "\x03\0\0\0theirs", 10, &written, nullptr);
    CloseHandle(file);

    auto *overlay =
        create<IShellIconOverlayIdentifier>(overlay_clsid(3), IID_IShellIconOverlayIdentifier);
    ASSERT_NE(nullptr, overlay);
    for (int round = 0; round < 3; ++round)
        EXPECT_EQ(S_FALSE, overlay->IsMemberOf(real.c_str(), 0));
    overlay->Release();
    std::string stream;
    ASSERT_TRUE(read_whole_file(lookalike + ":plivar", stream));
    EXPECT_EQ(std::string("\x01\0\0\0someone else's", 18), stream);
    EXPECT_EQ("", index_file_bytes());
    EXPECT_EQ(S_OK, is_member(1, lookalike));
}

TEST_F(Overlay, IconFileIndexFlagsAndPriority) {
    auto *overlay =
        create<IShellIconOverlayIdentifier>(overlay_clsid(2), IID_IShellIconOverlayIdentifier);
    ASSERT_NE(nullptr, overlay);
    wchar_t icon[MAX_PATH];
    int index = -1;
    DWORD flags = 0xdeadbeef;
    ASSERT_EQ(S_OK, overlay->GetOverlayInfo(icon, MAX_PATH, &index, &flags));
    EXPECT_EQ(wide(tools_) + L"images\\icon2.png", icon);
    EXPECT_EQ(12, index);
    EXPECT_EQ(static_cast<DWORD>(ISIOI_ICONFILE), flags);
    int priority = 0;
    EXPECT_EQ(S_OK, overlay->GetPriority(&priority));
    EXPECT_EQ(20, priority);

    // A buffer too small fails and writes nothing past its end.
    wchar_t small[12];
    wmemset(small, L'#', 12);
    EXPECT_TRUE(FAILED(overlay->GetOverlayInfo(small, 10, &index, &flags)));
    EXPECT_EQ(L'\0', small[0]);
    EXPECT_EQ(L'#', small[10]);
    EXPECT_EQ(L'#', small[11]);
    EXPECT_EQ(0u, flags);
    EXPECT_EQ(E_POINTER, overlay->GetOverlayInfo(nullptr, MAX_PATH, &index, &flags));
    EXPECT_EQ(E_POINTER, overlay->GetOverlayInfo(icon, MAX_PATH, nullptr, &flags));
    EXPECT_EQ(E_POINTER, overlay->GetPriority(nullptr));
    EXPECT_EQ(E_INVALIDARG, overlay->IsMemberOf(nullptr, 0));
    overlay->Release();
}

class Column : public DllTest {};

TEST_F(Column, DescribesItsOneColumn) {
    auto *column = create<IColumnProvider>(column_clsid, IID_IColumnProvider);
    ASSERT_NE(nullptr, column);
    SHCOLUMNINFO info;
    memset(&info, 0xCC, sizeof(info));
    ASSERT_EQ(S_OK, column->GetColumnInfo(0, &info));
    EXPECT_TRUE(IsEqualGUID(main_clsid, info.scid.fmtid));
    EXPECT_EQ(0u, info.scid.pid);
    EXPECT_EQ(VT_LPSTR, info.vt);
    EXPECT_EQ(0u, info.fmt);
    EXPECT_EQ(64u, info.cChars);
    EXPECT_EQ(0x11u, info.csFlags);
    EXPECT_STREQ(L"Quillarvent Description", info.wszTitle);
    EXPECT_STREQ(L"Quillarvent Description", info.wszDescription);
    EXPECT_EQ(S_FALSE, column->GetColumnInfo(1, &info));
    EXPECT_EQ(E_POINTER, column->GetColumnInfo(0, nullptr));
    column->Release();
}

TEST_F(Column, ShowsDescriptionsOfFilesAndFolders) {
    std::string folder = make_folder("Projects");
    write_stream(folder, 5, "folder text");
    std::string file = make_file("long.txt");
    std::string long_text(2000, 'q');
    write_stream(file, 0, long_text);
    std::string kind_only = make_file("kind_only.txt");
    write_stream(kind_only, 4, "");
    std::string plain = make_file("plain.txt");
    for (const auto &path : {folder, file, kind_only, plain})
        is_member(0, path); // the shell's overlay questions enter them

    VARIANT value;
    VariantInit(&value);
    ASSERT_EQ(S_OK, item_data(folder, value));
    EXPECT_EQ(VT_BSTR, V_VT(&value));
    EXPECT_STREQ(L"folder text", V_BSTR(&value));
    ASSERT_EQ(S_OK, item_data(file, value));
    EXPECT_EQ(wide(long_text), std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value))));
    ASSERT_EQ(S_OK, item_data(kind_only, value));
    EXPECT_EQ(VT_BSTR, V_VT(&value));
    EXPECT_EQ(0u, SysStringLen(V_BSTR(&value)));
    VariantClear(&value);

    EXPECT_EQ(S_FALSE, item_data(plain, value));
    EXPECT_EQ(S_FALSE, item_data(data_ + "never_seen.txt", value));
    EXPECT_EQ(S_FALSE, item_data(folder, value, 1));
    EXPECT_EQ(VT_EMPTY, V_VT(&value));
}

// The creation and last-write times of `path`.
std::pair<FILETIME, FILETIME> times_of(const std::string &path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    return {data.ftCreationTime, data.ftLastWriteTime};
}

// What programs that drop streams leave, and what the shell's handlers make
// of it: the description this user kept goes back on the same item or its
// replacement, never on an unrelated file that took the name. (Under Wine a
// stream is a file beside its item, which such a program leaves behind too:
// the cases delete it; and Wine has no tunnelling of creation times.)
TEST_F(Column, ADroppedDescriptionComesBackToItsItemOnly) {
    auto replace_with = [](const std::string &path, const std::string &content,
                           const FILETIME *time) {
        std::string fresh = path + ".tmp";
        ASSERT_TRUE(write_whole_file(fresh, content));
        HANDLE file = CreateFileA(fresh.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        if (time)
            SetFileTime(file, nullptr, nullptr, time);
        CloseHandle(file);
        ASSERT_TRUE(DeleteFileA(path.c_str()));
        ASSERT_TRUE(DeleteFileA((path + ":plivar").c_str()));
        ASSERT_TRUE(MoveFileA(fresh.c_str(), path.c_str()));
    };
    struct dropped {
        const char *name;
        std::function<void(const std::string &)> drop;
        bool by_tip; // else the column asks
        bool comes_back;
    } cases[] = {
        {"the stream stripped in place (same file ID)",
         [](const std::string &path) { ASSERT_TRUE(DeleteFileA((path + ":plivar").c_str())); },
         true, true},
        {"saved by replacing, as a copy keeps size and time",
         [&](const std::string &path) {
             FILETIME saved = times_of(path).second;
             replace_with(path, "data", &saved);
         },
         false, true},
        {"an unrelated file under the name",
         [&](const std::string &path) { replace_with(path, "another file's data", nullptr); },
         false, false},
        {"deleted, then a new file made under the name (Wine reuses the file ID)",
         [](const std::string &path) {
             ASSERT_TRUE(DeleteFileA(path.c_str()));
             ASSERT_TRUE(DeleteFileA((path + ":plivar").c_str()));
             Sleep(20);
             ASSERT_TRUE(write_whole_file(path, "new data"));
         },
         false, false},
    };
    int n = 0;
    for (const dropped &row : cases) {
        SCOPED_TRACE(row.name);
        std::string path = make_file("x" + std::to_string(++n) + ".txt", "data");
        write_stream(path, 3, "invoice March");
        is_member(0, path); // the overlay enters it, and keeps its description
        Sleep(20);
        row.drop(path);
        std::pair<FILETIME, FILETIME> before = times_of(path);
        VARIANT value;
        VariantInit(&value);
        std::wstring shown;
        if (row.by_tip) {
            shown = info_tip(path);
        } else if (item_data(path, value) == S_OK) {
            shown.assign(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
            VariantClear(&value);
        }
        std::string stream;
        read_whole_file(path + ":plivar", stream);
        std::pair<FILETIME, FILETIME> after = times_of(path);
        EXPECT_EQ(0, CompareFileTime(&before.first, &after.first)) << "creation time changed";
        EXPECT_EQ(0, CompareFileTime(&before.second, &after.second)) << "last-write time changed";
        if (row.comes_back) {
            EXPECT_EQ(L"invoice March", shown);
            EXPECT_EQ(std::string("\3\0\0\0invoice March", 17), stream);
            EXPECT_EQ(S_OK, is_member(3, path));
        } else {
            EXPECT_EQ(L"", shown);
            EXPECT_EQ("", stream);
            EXPECT_EQ(S_FALSE, is_member(3, path)) << "the index still names it";
        }
    }
}

} // namespace
