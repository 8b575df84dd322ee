#include "tests/ui_fixture.h"

#include <commctrl.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "module/class_ids.h"
#include "module/settings.h"
#include "store/item_info.h"

namespace {

struct row {
    std::wstring text;
    int image;
    bool operator==(const row &other) const { return text == other.text && image == other.image; }
};

RECT window_rect(HWND window) {
    RECT r = {};
    GetWindowRect(window, &r);
    return r;
}

} // namespace

// The list window as the user meets it: opened from the editor's toolbar,
// driven by keys and clicks on its controls.
class ListWindow : public EditorTest {
  protected:
    // A described file: its stream, and the index knows it (as after the
    // shell's overlay question) unless `indexed` is false.
    std::string described(const std::string &name, int kind, const std::string &text,
                          bool indexed = true) {
        std::string path = data_ + name;
        size_t slash = name.rfind('\\');
        if (slash != std::string::npos)
            CreateDirectoryA((data_ + name.substr(0, slash)).c_str(), nullptr);
        EXPECT_TRUE(write_whole_file(path, "data"));
        write_stream(path, kind, text);
        if (indexed) {
            EXPECT_EQ(S_OK, is_member(kind, path));
        }
        return path;
    }
    HWND open_list() {
        press(32775);
        return list();
    }
    static HWND list() { return FindWindowW(L"#32770", L"List of descriptions"); }
    static HWND list_view() { return GetDlgItem(list(), 235); }
    static HWND tree_view() { return GetDlgItem(list(), 203); }
    static std::vector<row> rows() {
        std::vector<row> all;
        HWND view = list_view();
        int count = static_cast<int>(SendMessageW(view, LVM_GETITEMCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            wchar_t text[MAX_PATH] = L"";
            LVITEMW item = {};
            item.mask = LVIF_TEXT | LVIF_IMAGE;
            item.iItem = i;
            item.pszText = text;
            item.cchTextMax = MAX_PATH;
            SendMessageW(view, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
            all.push_back({text, item.iImage});
        }
        return all;
    }
    // Selects row n as the keyboard does: Home, then Down n times.
    static void select_row(int n) {
        HWND view = list_view();
        SetFocus(view);
        SendMessageW(view, WM_KEYDOWN, VK_HOME, 0);
        for (int i = 0; i < n; ++i)
            SendMessageW(view, WM_KEYDOWN, VK_DOWN, 0);
        pump();
    }
    // Clicks row n. The button's release waits in the queue: the list view
    // watches for a drag until it sees it.
    static void click_row(int n) {
        HWND view = list_view();
        RECT item = {};
        item.left = LVIR_LABEL;
        ASSERT_TRUE(SendMessageW(view, LVM_GETITEMRECT, n, reinterpret_cast<LPARAM>(&item)));
        LPARAM at = MAKELPARAM((item.left + item.right) / 2, (item.top + item.bottom) / 2);
        PostMessageW(view, WM_LBUTTONUP, 0, at);
        SendMessageW(view, WM_LBUTTONDOWN, MK_LBUTTON, at);
        pump();
    }
    static int row_of(const std::wstring &text, int skip = 0) {
        std::vector<row> all = rows();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].text == text && skip-- == 0)
                return static_cast<int>(i);
        return -1;
    }
    static std::wstring shown_text() {
        wchar_t text[256] = L"";
        GetWindowTextW(text_box(), text, 256);
        return text;
    }
    static void click(int control) {
        SendMessageW(GetDlgItem(list(), control), BM_CLICK, 0, 0);
        pump();
    }
    // Every tree item depth first, as "name" or "name*" (with a record's
    // image), expanded on the way.
    static std::vector<std::wstring> tree_items(HTREEITEM parent = TVI_ROOT) {
        std::vector<std::wstring> all;
        HWND view = tree_view();
        HTREEITEM item = reinterpret_cast<HTREEITEM>(
            SendMessageW(view, TVM_GETNEXTITEM, parent == TVI_ROOT ? TVGN_ROOT : TVGN_CHILD,
                         reinterpret_cast<LPARAM>(parent == TVI_ROOT ? nullptr : parent)));
        for (; item; item = reinterpret_cast<HTREEITEM>(SendMessageW(
                         view, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)))) {
            wchar_t text[MAX_PATH] = L"";
            TVITEMW info = {};
            info.mask = TVIF_TEXT | TVIF_IMAGE;
            info.hItem = item;
            info.pszText = text;
            info.cchTextMax = MAX_PATH;
            SendMessageW(view, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&info));
            SendMessageW(view, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
            all.push_back(std::wstring(text) + (info.iImage < 6 ? L"*" : L""));
            for (const std::wstring &below : tree_items(item))
                all.push_back(L"  " + below);
        }
        return all;
    }
    // Right-clicks `control` at the client point `at` and chooses the menu's
    // first entry with the keyboard: "Open", or "Attach kept description"
    // for a kept entry.
    static void choose_first_by_right_click(HWND control, POINT at) {
        HWND owner = list();
        std::thread user([owner] {
            for (int i = 0; i < 300 && !IsWindowVisible(FindWindowW(L"#32768", nullptr)); ++i)
                Sleep(10);
            Sleep(200);
            for (WPARAM key : {VK_DOWN, VK_RETURN}) {
                PostMessageW(owner, WM_KEYDOWN, key, 0);
                Sleep(100);
            }
        });
        SendMessageW(control, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(at.x, at.y));
        user.join();
        pump(300);
    }
    // Waits on a second thread for a popup menu owned by `owner`, notes
    // that it was shown, and closes it with Escape.
    std::thread escape_menu(HWND owner) {
        return std::thread([this, owner] {
            for (int i = 0; i < 300 && !menu_seen_; ++i, Sleep(10))
                menu_seen_ = IsWindowVisible(FindWindowW(L"#32768", nullptr)) != FALSE;
            PostMessageW(owner, WM_KEYDOWN, VK_ESCAPE, 0);
        });
    }
    std::atomic<bool> menu_seen_{false};
    static HTREEITEM tree_item_named(const std::wstring &name) {
        HWND view = tree_view();
        HTREEITEM item =
            reinterpret_cast<HTREEITEM>(SendMessageW(view, TVM_GETNEXTITEM, TVGN_ROOT, 0));
        while (item) {
            wchar_t text[MAX_PATH] = L"";
            TVITEMW info = {};
            info.mask = TVIF_TEXT;
            info.hItem = item;
            info.pszText = text;
            info.cchTextMax = MAX_PATH;
            SendMessageW(view, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&info));
            if (name == text)
                return item;
            HTREEITEM next = reinterpret_cast<HTREEITEM>(SendMessageW(
                view, TVM_GETNEXTITEM, TVGN_NEXTVISIBLE, reinterpret_cast<LPARAM>(item)));
            item = next;
        }
        return nullptr;
    }
    // Moves the tree's selection onto `item` with the arrow keys.
    static void select_tree_item(HTREEITEM item) {
        HWND view = tree_view();
        SetFocus(view);
        SendMessageW(view, WM_KEYDOWN, VK_HOME, 0);
        for (int i = 0; i < 200; ++i) {
            if (reinterpret_cast<HTREEITEM>(SendMessageW(view, TVM_GETNEXTITEM, TVGN_CARET, 0)) ==
                item)
                break;
            SendMessageW(view, WM_KEYDOWN, VK_DOWN, 0);
        }
        pump();
    }
};

TEST_F(ListWindow, ListsEveryRecordAndShowsTheChosenOneInTheEditor) {
    std::string a_notes = described("a\\notes.txt", 1, "notes of a");
    std::string b_notes = described("b\\notes.txt", 3, "notes of b");
    std::string plan = described("plan.txt", 5, "the plan");
    std::string fresh = make_file("fresh.txt");
    ASSERT_EQ(S_OK, invoke(plan));
    HWND window = open_list();
    ASSERT_NE(nullptr, window);
    HWND editor = editor_window();

    // One row per record, in key order, named by the file, with its image.
    std::vector<std::pair<uint32_t, row>> expected = {
        {path_hash(wide(a_notes).c_str()), {L"notes.txt", 1}},
        {path_hash(wide(b_notes).c_str()), {L"notes.txt", 3}},
        {path_hash(wide(plan).c_str()), {L"plan.txt", 5}}};
    std::sort(expected.begin(), expected.end(),
              [](const auto &x, const auto &y) { return x.first < y.first; });
    std::vector<row> want;
    for (const auto &e : expected)
        want.push_back(e.second);
    EXPECT_EQ(want, rows());

    // Same-named files load their own descriptions.
    for (int skip : {0, 1}) {
        int at = row_of(L"notes.txt", skip);
        select_row(at);
        EXPECT_EQ(L"notes.txt", title(editor));
        EXPECT_EQ(rows()[at].image == 1 ? L"notes of a" : L"notes of b", shown_text());
    }

    // Docked 7 pixels to the left of the editor, and moved with it.
    RECT list_frame = window_rect(window), editor_frame = window_rect(editor);
    EXPECT_EQ(editor_frame.left - 7, list_frame.right);
    SetWindowPos(editor, nullptr, 400, 300, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    pump();
    list_frame = window_rect(window);
    editor_frame = window_rect(editor);
    EXPECT_EQ(editor_frame.left - 7, list_frame.right);
    EXPECT_EQ(editor_frame.top + 72, list_frame.top);
    RECT text_frame = window_rect(text_window());
    EXPECT_EQ(editor_frame.left, text_frame.left) << "beside the list the text is left-aligned";
    // Resized by its left edge, the list takes the editor along.
    SetWindowPos(window, nullptr, list_frame.left - 60, list_frame.top,
                 list_frame.right - list_frame.left + 60, list_frame.bottom - list_frame.top + 40,
                 SWP_NOZORDER);
    pump();
    list_frame = window_rect(window);
    EXPECT_EQ(window_rect(editor).left, list_frame.right + 7);
    RECT area = {list_frame.left - 8, window_rect(editor).top - 8, window_rect(editor).right + 8,
                 list_frame.bottom + 8};
    pump(200);
    EXPECT_TRUE(take_screenshot("list_view", area));

    // While the list is open the editor stays after save, remove and close.
    ASSERT_EQ(S_OK, invoke(fresh));
    type("fresh text");
    press(32771);
    EXPECT_EQ(editor, editor_window());
    EXPECT_EQ(4u, rows().size()) << "a save refills the list";
    EXPECT_NE(-1, row_of(L"fresh.txt"));
    press(32772);
    EXPECT_EQ(editor, editor_window());
    EXPECT_EQ(-1, row_of(L"fresh.txt")) << "the removed record's row goes";
    EXPECT_EQ(3u, rows().size());
    press(32773);
    EXPECT_EQ(editor, editor_window());
    SendMessageW(window, WM_CLOSE, 0, 0);
    pump();
    EXPECT_EQ(nullptr, list());
    press(32773);
    EXPECT_EQ(nullptr, editor_window()) << "the close button works again";
}

TEST_F(ListWindow, ARowActsOnItsOwnRecordWhateverTheIndexDidSince) {
    std::vector<std::string> files;
    for (int i = 0; i < 6; ++i)
        files.push_back(
            described("file" + std::to_string(i) + ".txt", i % 6, "text " + std::to_string(i)));
    ASSERT_EQ(S_OK, invoke(files[0]));
    ASSERT_NE(nullptr, open_list());
    std::vector<row> before = rows();

    // Another shell thread learns of new records and of one that is gone.
    std::thread shell([&] {
        for (int i = 0; i < 5; ++i)
            described("later" + std::to_string(i) + ".txt", 2, "later");
        DeleteFileA((files[1] + ":plivar").c_str());
        DeleteFileA(files[1].c_str());
        column_text(files[1]);
    });
    shell.join();
    EXPECT_EQ(before, rows()) << "the list shows what it was filled with";
    for (int i = 2; i < 6; ++i) {
        SCOPED_TRACE(i);
        click_row(row_of(wide("file" + std::to_string(i) + ".txt")));
        EXPECT_EQ(wide("file" + std::to_string(i) + ".txt"), title(editor_window()));
        EXPECT_EQ(wide("text " + std::to_string(i)), shown_text());
    }
    // The gone item's row leaves the list once selected.
    click_row(row_of(L"file1.txt"));
    EXPECT_EQ(L"file1.txt", title(editor_window()));
    EXPECT_EQ(-1, row_of(L"file1.txt"));
    EXPECT_EQ(before.size() - 1, rows().size());
    EXPECT_EQ(L"", shown_text());
}

TEST_F(ListWindow, TheTreeShowsFoldersAndKeepsWhatTheUserDidNotPick) {
    // A described folder whose record comes before its files' in key order
    // carries them as its children.
    const char *in_docs[] = {"report.txt", "letter.txt", "tax.pdf", "old\\draft.txt"};
    std::string docs;
    for (int n = 0; docs.empty(); ++n) {
        std::string name = "docs" + std::to_string(n);
        uint32_t folder_key = path_hash(wide(data_ + name).c_str());
        bool first = true;
        for (const char *file : in_docs)
            first = first && folder_key < path_hash(wide(data_ + name + "\\" + file).c_str());
        if (first)
            docs = name;
    }
    std::vector<std::string> files = {described(docs + "\\report.txt", 0, "report"),
                                      described(docs + "\\letter.txt", 1, "letter"),
                                      described(docs + "\\old\\draft.txt", 2, "draft"),
                                      described("photos\\sea.jpg", 3, "sea"),
                                      described("photos\\hills.jpg", 4, "hills"),
                                      described("music\\song.mp3", 5, "song"),
                                      described("music\\live\\gig.mp3", 0, "gig"),
                                      described("todo.txt", 1, "todo"),
                                      described("notes.txt", 2, "notes"),
                                      described("photos\\2026\\snow.jpg", 3, "snow"),
                                      described(docs + "\\tax.pdf", 4, "tax"),
                                      described("music\\live\\encore.mp3", 5, "encore")};
    write_stream(data_ + docs, 3, "the docs folder");
    is_member(3, data_ + docs);
    ASSERT_EQ(S_OK, invoke(files[0]));
    HWND window = open_list();
    ASSERT_NE(nullptr, window);
    click(231);
    EXPECT_FALSE(IsWindowVisible(list_view()));
    EXPECT_TRUE(IsWindowVisible(tree_view()));
    std::vector<std::wstring> items = tree_items();
    auto has = [&](const std::wstring &item) {
        for (const std::wstring &i : items)
            if (i.find(item) != std::wstring::npos && i.size() - i.find(item) == item.size())
                return true;
        return false;
    };
    for (const wchar_t *leaf :
         {L"report.txt*", L"draft.txt*", L"snow.jpg*", L"gig.mp3*", L"todo.txt*"})
        EXPECT_TRUE(has(leaf)) << leaf;
    for (const wchar_t *name : {L"photos", L"old", L"live", L"2026"})
        EXPECT_TRUE(has(name)) << name;
    RECT list_frame = window_rect(window), editor_frame = window_rect(editor_window());
    RECT area = {list_frame.left - 8, editor_frame.top - 8, editor_frame.right + 8,
                 list_frame.bottom + 8};
    pump(200);
    EXPECT_TRUE(take_screenshot("tree_view", area));

    // The user picks letter.txt with the keyboard and removes it: its item
    // goes, and the editor stays on it, not on the neighbour the tree
    // selects in its place.
    HTREEITEM letter = tree_item_named(L"letter.txt");
    ASSERT_NE(nullptr, letter);
    select_tree_item(letter);
    EXPECT_EQ(L"letter.txt", title(editor_window()));
    press(32772);
    EXPECT_EQ(nullptr, tree_item_named(L"letter.txt"));
    EXPECT_EQ(L"letter.txt", title(editor_window()));
    EXPECT_EQ("report", read_stream(files[0]));
    EXPECT_EQ("tax", read_stream(files[10]));

    // A context-menu retarget to another item, then Remove: that item's
    // entry goes, the selected one stays.
    HTREEITEM tax = tree_item_named(L"tax.pdf");
    select_tree_item(tax);
    ASSERT_EQ(S_OK, invoke(files[7]));
    EXPECT_EQ(L"todo.txt", title(editor_window()));
    press(32772);
    EXPECT_EQ(nullptr, tree_item_named(L"todo.txt"));
    EXPECT_NE(nullptr, tree_item_named(L"tax.pdf"));
    EXPECT_EQ("tax", read_stream(files[10]));

    // A described folder with items below keeps its node, as a folder.
    HTREEITEM folder = tree_item_named(wide(docs));
    ASSERT_NE(nullptr, folder);
    ASSERT_NE(0, SendMessageW(tree_view(), TVM_GETNEXTITEM, TVGN_CHILD,
                              reinterpret_cast<LPARAM>(folder)));
    ASSERT_EQ(S_OK, invoke(data_ + docs));
    press(32772);
    pump();
    EXPECT_EQ(folder, tree_item_named(wide(docs)));
    EXPECT_NE(nullptr, tree_item_named(L"report.txt"));
    TVITEMW shown = {};
    shown.mask = TVIF_IMAGE;
    shown.hItem = folder;
    SendMessageW(tree_view(), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&shown));
    EXPECT_EQ(6, shown.iImage);

    // A right click in the tree chooses the item under the pointer; the menu
    // key shows the menu for the selected item.
    HTREEITEM sea = tree_item_named(L"sea.jpg");
    // Scrolled into view first, as a user sees an entry before clicking it.
    SendMessageW(tree_view(), TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(sea));
    pump();
    // TVM_GETITEMRECT takes the item in the rectangle it fills.
    RECT sea_rect = {};
    memcpy(&sea_rect, &sea, sizeof sea);
    ASSERT_TRUE(
        SendMessageW(tree_view(), TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&sea_rect)));
    std::thread first_menu = escape_menu(window);
    SendMessageW(
        tree_view(), WM_RBUTTONDOWN, MK_RBUTTON,
        MAKELPARAM((sea_rect.left + sea_rect.right) / 2, (sea_rect.top + sea_rect.bottom) / 2));
    first_menu.join();
    EXPECT_TRUE(menu_seen_);
    EXPECT_EQ(L"sea.jpg", title(editor_window()));
    EXPECT_EQ(sea, reinterpret_cast<HTREEITEM>(
                       SendMessageW(tree_view(), TVM_GETNEXTITEM, TVGN_CARET, 0)));
    menu_seen_ = false;
    std::thread key_menu = escape_menu(window);
    SendMessageW(tree_view(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(tree_view()),
                 MAKELPARAM(-1, -1));
    key_menu.join();
    EXPECT_TRUE(menu_seen_) << "the menu key shows the menu";

    // The tree survives closing and reopening.
    SendMessageW(window, WM_CLOSE, 0, 0);
    pump();
    ASSERT_NE(nullptr, open_list());
    EXPECT_TRUE(IsWindowVisible(tree_view()));
    EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(list(), 231));
    click(230);
    EXPECT_TRUE(IsWindowVisible(list_view()));
}

TEST_F(ListWindow, TheCheckBoxWritesTheFolderTipSetting) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegDeleteValueA(key, full_search_value_name);
    std::string file = described("a.txt", 0, "a");
    ASSERT_EQ(S_OK, invoke(file));
    ASSERT_NE(nullptr, open_list());
    EXPECT_EQ(BST_UNCHECKED, IsDlgButtonChecked(list(), 229));
    click(229);
    EXPECT_TRUE(is_full_search_on());
    click(229);
    DWORD value = 7, size = sizeof value;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, full_search_value_name, nullptr, nullptr,
                                              reinterpret_cast<BYTE *>(&value), &size));
    EXPECT_EQ(0u, value);
    RegDeleteValueA(key, full_search_value_name);
    RegCloseKey(key);
}

namespace {

std::wstring from_code_page(UINT code_page, const std::string &text) {
    wchar_t wide[MAX_PATH] = L"";
    int n = MultiByteToWideChar(code_page, 0, text.c_str(), -1, wide, MAX_PATH);
    return n > 0 ? std::wstring(wide) : std::wstring();
}

size_t occurrences(const std::string &bytes, const std::string &part) {
    size_t count = 0;
    for (size_t at = bytes.find(part); at != std::string::npos; at = bytes.find(part, at + 1))
        ++count;
    return count;
}

} // namespace

TEST_F(ListWindow, ARowKeepsItsItemUnderAnotherThreadLocale) {
    // "café" in the system code page, a Cyrillic letter in the user's.
    std::string name = "caf\xE9.txt";
    // Opening the editor on it enters it into the index.
    std::string path = described(name, 2, "caf\xE9 cr\xE8me", false);
    MessageBoxWatch errors("Error");
    LCID system_locale = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT)));
    ASSERT_NE(from_code_page(CP_ACP, path), from_code_page(CP_THREAD_ACP, path))
        << "the case needs a thread code page unlike the system's";
    ASSERT_EQ(S_OK, invoke(std::vector<std::wstring>{from_code_page(CP_ACP, path)}));
    ASSERT_NE(nullptr, open_list());
    int row = row_of(from_code_page(CP_ACP, name));
    ASSERT_NE(-1, row);
    click_row(0);
    click_row(row);
    // Every view of the text reads it in the system's code page, as it was
    // written, whatever the thread's.
    const std::wstring written = L"caf\x00e9 cr\x00e8me";
    EXPECT_EQ(written, shown_text());
    EXPECT_EQ(written, column_text(path));
    EXPECT_EQ(written, info_tip(path));
    EXPECT_NE(-1, row_of(from_code_page(CP_ACP, name)));
    type("coffee, strong");
    press(32771);
    EXPECT_EQ("coffee, strong", read_stream(path));
    EXPECT_EQ(1u, occurrences(index_file_bytes(), path));
    EXPECT_EQ(0, errors.count());
    SetThreadLocale(system_locale);
}

TEST_F(ListWindow, OnlyItemsNamedByFullPathsAreReadOrOpened) {
    // Records of files.dat, which every user may write, that name no item
    // by a full path: a name the shell would look up in the current folder
    // and on the search path, and a pipe another user may be serving.
    char current[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, current);
    std::string relative = "quillarvent_probe.cmd";
    std::string planted = std::string(current) + "\\" + relative;
    std::string planted_marker = data_ + "planted ran.txt";
    ASSERT_TRUE(write_whole_file(planted, "echo ran > \"" + planted_marker + "\"\r\n"));
    write_stream(planted, 0, "planted");
    std::string pipe_name = "\\\\.\\pipe\\quillarvent_probe";
    HANDLE pipe =
        CreateNamedPipeA(pipe_name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_NOWAIT, 4, 64, 64, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
    // Should the editor read from the pipe, breaking it ends the wait.
    HANDLE checked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread watchdog([pipe, checked] {
        if (WaitForSingleObject(checked, 10000) == WAIT_TIMEOUT)
            DisconnectNamedPipe(pipe);
    });
    // An item on a drive that is not there now keeps its row: it may come back.
    DWORD drives = GetLogicalDrives();
    char letter = 'Q';
    while (letter > 'D' && (drives & (1u << (letter - 'A'))))
        --letter;
    std::string unplugged = std::string(1, letter) + ":\\stick\\unplugged.txt";
    std::string records;
    for (const std::string &path : {relative, pipe_name, unplugged})
        item_info(0, wide(path).c_str()).save_record(records);
    ASSERT_TRUE(write_whole_file(config_folder_ + "\\files.dat", records));

    std::string first = data_ + "first.cmd", second = data_ + "second.cmd";
    for (const std::string &item : {first, second}) {
        ASSERT_TRUE(write_whole_file(item, "echo ran > \"" + item + ".ran\"\r\n"));
        write_stream(item, 1, "own");
    }
    ASSERT_EQ(S_OK, invoke(first));
    ASSERT_EQ(S_OK, invoke(second));
    ASSERT_NE(nullptr, open_list());
    ASSERT_EQ(3u, rows().size());

    // A record that names no item by a full path is not a row to select,
    // Enter or open.
    for (const wchar_t *name : {L"quillarvent_probe.cmd", L"quillarvent_probe"})
        EXPECT_EQ(-1, row_of(name)) << name;
    EXPECT_FALSE(ConnectNamedPipe(pipe, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_LISTENING), GetLastError()) << "the pipe was opened";
    SetEvent(checked);
    watchdog.join();
    CloseHandle(checked);
    click_row(row_of(L"unplugged.txt"));
    EXPECT_NE(-1, row_of(L"unplugged.txt"));

    // A right click chooses the entry under the pointer: "Open" runs that
    // one, not the entry selected before.
    click_row(row_of(L"first.cmd"));
    RECT item = {};
    item.left = LVIR_LABEL;
    SendMessageW(list_view(), LVM_GETITEMRECT, row_of(L"second.cmd"),
                 reinterpret_cast<LPARAM>(&item));
    choose_first_by_right_click(list_view(),
                                {(item.left + item.right) / 2, (item.top + item.bottom) / 2});
    for (int i = 0; i < 200 && !path_exists(second + ".ran"); ++i)
        Sleep(50);
    EXPECT_TRUE(path_exists(second + ".ran")) << "Open runs the item under the pointer";
    EXPECT_EQ(L"second.cmd", title(editor_window()));
    Sleep(500);
    EXPECT_FALSE(path_exists(first + ".ran"));
    EXPECT_FALSE(path_exists(planted_marker)) << "a relative name was looked up and run";
    CloseHandle(pipe);
    DeleteFileA((planted + ":plivar").c_str());
    DeleteFileA(planted.c_str());
}

TEST_F(ListWindow, OpeningAndClosingTheListLeavesNothingBehind) {
    for (int i = 0; i < 8; ++i)
        described("d" + std::to_string(i % 3) + "\\f" + std::to_string(i) + ".txt", i % 6, "t");
    ASSERT_EQ(S_OK, invoke(data_ + "d0\\f0.txt"));
    ASSERT_NE(nullptr, open_list());
    SendMessageW(list(), WM_CLOSE, 0, 0);
    pump();
    int windows = own_windows();
    int gdi_objects = live_gdi_objects();
    for (int i = 0; i < 50; ++i) {
        ASSERT_NE(nullptr, open_list());
        click(i % 2 ? 230 : 231);
        SendMessageW(list(), WM_CLOSE, 0, 0);
        pump(10);
        ASSERT_EQ(nullptr, list());
    }
    EXPECT_EQ(windows, own_windows());
    EXPECT_LE(live_gdi_objects(), gdi_objects + 2);
    press(32773);
    EXPECT_EQ(nullptr, editor_window()) << "with the list gone the close button works";
}

namespace {

// Looks at a box with `caption` from a second thread once it shows, as a
// user would who clicks around while it waits, then answers it.
std::thread on_box(const std::string &caption, std::function<void(HWND)> look) {
    return std::thread([caption, look] {
        HWND box = nullptr;
        for (int i = 0; i < 1500 && !box; ++i, Sleep(10))
            box = FindWindowA("#32770", caption.c_str());
        if (!box)
            return;
        Sleep(200);
        look(box);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
}

// The info tip key of file type `type` as a standard user meets it:
// readable, but no value may be set.
void lock_type_key(const std::string &type, bool locked) {
    std::string handler = type + "\\shellex\\{00021500-0000-0000-C000-000000000046}";
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, handler.c_str(), 0, nullptr, 0,
                                             READ_CONTROL | WRITE_DAC, nullptr, &key, nullptr));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        locked ? "D:(D;;0x6;;;WD)(A;;KA;;;WD)" : "D:(A;;KA;;;WD)", SDDL_REVISION_1, &descriptor,
        nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor));
    LocalFree(descriptor);
    RegCloseKey(key);
    if (!locked) {
        RegDeleteTreeA(HKEY_CLASSES_ROOT, type.c_str());
        return;
    }
    HKEY probe = nullptr;
    ASSERT_EQ(ERROR_ACCESS_DENIED,
              RegOpenKeyExA(HKEY_CLASSES_ROOT, handler.c_str(), 0, KEY_SET_VALUE, &probe))
        << "the deny entry is not enforced";
}

} // namespace

// A load that shows a box leaves the editor on the item it showed until the
// new one is read whole; meanwhile every window of the library waits.
TEST_F(ListWindow, NothingActsWhileABoxOfTheLibraryWaits) {
    std::string a = described("a.txt", 1, "A's text");
    std::string gone = described("gone.txt", 3, "was here");
    // Carries a description the index has not seen, of a type no info tip
    // was registered for yet.
    // Each carries a description the index has not seen, of a type no info
    // tip was registered for yet.
    std::string b = make_file("b.qvb"), c = make_file("c.qvc");
    write_stream(b, 2, "B's own");
    write_stream(c, 4, "C's own");
    PROCESS_INFORMATION holder = {};
    struct box_case {
        const char *name, *caption;
        std::function<void()> make, undo, act;
        bool close_during;
        const wchar_t *title_after, *text_after;
    } cases[] = {
        {"the file type's key cannot be written", "Information",
         [] { lock_type_key(".qvb", true); }, [] { lock_type_key(".qvb", false); },
         [&] { invoke(b); }, false, L"b.qvb", L"B's own"},
        {"the same, and the editor closed meanwhile", "Information",
         [] { lock_type_key(".qvc", true); }, [] { lock_type_key(".qvc", false); },
         [&] { invoke(c); }, true, nullptr, nullptr},
        {"files.dat held by another program", "Quillarvent",
         [&] {
             ASSERT_TRUE(drop_unkept_description(gone));
             std::string index = config_folder_ + "\\files.dat";
             std::string command =
                 "\"" + build_output_folder() + "ui_tests.exe\" --hold-file \"" + index + "\"";
             STARTUPINFOA start = {};
             start.cb = sizeof start;
             ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &start, &holder));
             bool held = false;
             for (int i = 0; i < 500 && !held; ++i, Sleep(10)) {
                 HANDLE probe = CreateFileA(index.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING,
                                            0, nullptr);
                 held = probe == INVALID_HANDLE_VALUE;
                 if (!held)
                     CloseHandle(probe);
             }
             ASSERT_TRUE(held);
             ASSERT_NE(nullptr, open_list());
         },
         [&] {
             TerminateProcess(holder.hProcess, 0);
             WaitForSingleObject(holder.hProcess, 10000);
             CloseHandle(holder.hProcess);
             CloseHandle(holder.hThread);
         },
         [&] { click_row(row_of(L"gone.txt")); }, true, nullptr, nullptr},
    };
    for (box_case &row : cases) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(S_OK, invoke(a));
        row.make();
        HWND editor = editor_window();
        struct {
            bool owned = false, all_disabled = false, still_open = false;
            std::wstring title, text;
            HRESULT unload = E_UNEXPECTED;
        } seen;
        std::thread user = on_box(row.caption, [&](HWND box) {
            seen.owned = GetWindow(box, GW_OWNER) == editor;
            seen.all_disabled = !IsWindowEnabled(editor) && !IsWindowEnabled(text_window()) &&
                                (!list() || !IsWindowEnabled(list()));
            seen.title = title(editor);
            seen.text = shown_text();
            // Save and Remove as a host could still send them.
            SendMessageW(editor, WM_COMMAND, 32771, 0);
            SendMessageW(editor, WM_COMMAND, 32772, 0);
            if (row.close_during) {
                PostMessageW(editor, WM_CLOSE, 0, 0);
                Sleep(300);
                seen.still_open = IsWindow(editor) != FALSE;
            }
            seen.unload = can_unload_now();
        });
        row.act();
        user.join();
        pump(300);
        EXPECT_TRUE(seen.owned) << "the box belongs to the editor";
        EXPECT_TRUE(seen.all_disabled);
        EXPECT_EQ(L"a.txt", seen.title) << "shown before the item was read";
        EXPECT_EQ(L"A's text", seen.text);
        EXPECT_EQ(S_FALSE, seen.unload);
        int kind = -1;
        EXPECT_EQ("A's text", read_stream(a, &kind));
        EXPECT_EQ(1, kind);
        EXPECT_EQ("B's own", read_stream(b, &kind));
        EXPECT_EQ(2, kind);
        EXPECT_EQ("C's own", read_stream(c, &kind));
        EXPECT_EQ(4, kind);
        if (row.close_during) {
            EXPECT_TRUE(seen.still_open) << "closed under the waiting box";
            EXPECT_EQ(nullptr, editor_window());
        } else {
            EXPECT_EQ(row.title_after, title(editor_window()));
            EXPECT_EQ(row.text_after, shown_text());
            press(32773);
        }
        row.undo();
        pump();
    }
    EXPECT_EQ(S_OK, can_unload_now());
}

// The menu, Enter and a click act on the entry the user chose, once.
TEST_F(ListWindow, MenusAndKeysActOnTheChosenEntry) {
    // Each run of an item adds a line to its log.
    auto runnable = [&](const std::string &name) {
        std::string path = described(name, 1, "run me");
        EXPECT_TRUE(write_whole_file(path, "@echo ran>> \"" + path + ".ran\"\r\n"));
        return path;
    };
    auto runs = [](const std::string &path) {
        std::string log;
        read_whole_file(path + ".ran", log);
        return std::count(log.begin(), log.end(), '\n');
    };
    std::string first = runnable("first.cmd"), stale = runnable("second.cmd"),
                third = runnable("third.cmd");
    ASSERT_EQ(S_OK, invoke(first));
    ASSERT_NE(nullptr, open_list());
    click(231);
    tree_items();
    // Its description went after the list was filled: the entry is stale.
    ASSERT_TRUE(drop_unkept_description(stale));
    HTREEITEM entry = tree_item_named(L"second.cmd");
    ASSERT_NE(nullptr, entry);
    SendMessageW(tree_view(), TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(entry));
    pump();
    RECT at = {};
    memcpy(&at, &entry, sizeof entry);
    ASSERT_TRUE(SendMessageW(tree_view(), TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&at)));
    choose_first_by_right_click(tree_view(), {(at.left + at.right) / 2, (at.top + at.bottom) / 2});
    for (int i = 0; i < 100 && runs(stale) == 0; ++i)
        Sleep(50);
    EXPECT_EQ(1, runs(stale)) << "\"Open\" runs the entry right-clicked";
    EXPECT_EQ(nullptr, tree_item_named(L"second.cmd")) << "dropped once the menu was done";
    Sleep(500);
    EXPECT_EQ(0, runs(first) + runs(third)) << "a neighbour ran";

    // Enter held down: one press, then the key's repeats.
    HTREEITEM third_entry = tree_item_named(L"third.cmd");
    select_tree_item(third_entry);
    for (LPARAM repeat : {0, 1 << 30, 1 << 30, 1 << 30})
        SendMessageW(tree_view(), WM_KEYDOWN, VK_RETURN, 1 | repeat);
    pump(300);
    for (int i = 0; i < 100 && runs(third) == 0; ++i)
        Sleep(50);
    Sleep(1000);
    EXPECT_EQ(1, runs(third));

    // The menu points the editor at another item; clicking the entry the
    // list still showed as chosen shows it again.
    ASSERT_EQ(S_OK, invoke(first));
    EXPECT_EQ(L"first.cmd", title(editor_window()));
    click(230);
    int row = row_of(L"third.cmd");
    click_row(row);
    ASSERT_EQ(L"third.cmd", title(editor_window()));
    ASSERT_EQ(S_OK, invoke(first));
    click_row(row);
    EXPECT_EQ(L"third.cmd", title(editor_window()));
}

// The shell's message loop does not know the list is a dialog: Tab and the
// arrows still reach its controls.
TEST_F(ListWindow, TheKeyboardReachesEveryControl) {
    described("one.txt", 0, "one");
    ASSERT_EQ(S_OK, invoke(data_ + "one.txt"));
    EXPECT_EQ(text_box(), GetFocus()) << "the text box has the focus when the editor opens";
    ASSERT_NE(nullptr, open_list());
    auto key = [](WPARAM code) {
        HWND focus = GetFocus();
        PostMessageW(focus, WM_KEYDOWN, code, 1);
        PostMessageW(focus, WM_KEYUP, code, 1 | (3u << 30));
        pump();
        return GetFocus();
    };
    SetFocus(list_view());
    HWND check_box = GetDlgItem(list(), 229);
    EXPECT_EQ(check_box, key(VK_TAB));
    bool full = IsDlgButtonChecked(list(), 229) == BST_CHECKED;
    for (int press = 0; press < 2; ++press) {
        key(VK_SPACE);
        EXPECT_EQ(full == (press == 1), IsDlgButtonChecked(list(), 229) == BST_CHECKED);
    }
    EXPECT_EQ(GetDlgItem(list(), 230), key(VK_TAB));
    EXPECT_EQ(GetDlgItem(list(), 231), key(VK_DOWN));
    EXPECT_EQ(BST_CHECKED, IsDlgButtonChecked(list(), 231));
    EXPECT_TRUE(IsWindowVisible(tree_view())) << "the arrow picked the tree";
    EXPECT_EQ(GetDlgItem(list(), 236), key(VK_TAB)) << "the find box";
    EXPECT_EQ(tree_view(), key(VK_TAB));
    EXPECT_EQ(check_box, key(VK_TAB));
}

const std::wstring kept_mark = L" (description kept, item replaced)";

// The find box, and the kept descriptions of replaced items.
class FindAndKeep : public ListWindow {
  protected:
    // Described through the editor: this user's keep file holds the text.
    std::string described_by_user(const std::string &name, const std::string &text) {
        std::string path = make_file(name);
        EXPECT_EQ(S_OK, invoke(path));
        type(text);
        press(32771);
        return path;
    }
    // An unrelated file, older and of another size, takes the item's name,
    // and the column's question makes the index let the item go.
    void replace_item(const std::string &path) {
        std::string newcomer = make_file("newcomer", "an unrelated file, longer than the first");
        FILETIME old_time = {0, 0x01C0E7A0};
        HANDLE file = CreateFileA(newcomer.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        SetFileTime(file, &old_time, &old_time, &old_time);
        CloseHandle(file);
        ASSERT_TRUE(DeleteFileA((path + ":plivar").c_str()) && DeleteFileA(path.c_str()));
        ASSERT_TRUE(MoveFileA(newcomer.c_str(), path.c_str()));
        ASSERT_EQ(L"", column_text(path));
    }
    static HWND find_box() { return GetDlgItem(list(), 236); }
    static void type_find(const std::wstring &text) {
        SetFocus(find_box());
        for (wchar_t c : text)
            PostMessageW(find_box(), WM_CHAR, c, 1);
        pump();
    }
    static void press_escape() {
        PostMessageW(find_box(), WM_KEYDOWN, VK_ESCAPE, 1);
        pump();
    }
    static std::set<std::wstring> row_names() {
        std::set<std::wstring> names;
        for (const row &r : rows())
            names.insert(r.text);
        return names;
    }
    // The tree's entries with a record, as "folder\\name".
    static std::set<std::wstring> tree_leaves() {
        std::set<std::wstring> leaves;
        std::vector<std::wstring> path;
        for (const std::wstring &item : tree_items()) {
            size_t depth = item.find_first_not_of(L' ') / 2;
            path.resize(depth);
            path.push_back(item.substr(depth * 2));
            if (item.back() == L'*' && depth > 0)
                leaves.insert(path[depth - 1] + L"\\" +
                              path[depth].substr(0, path[depth].size() - 1));
        }
        return leaves;
    }
};

TEST_F(FindAndKeep, TypingNarrowsTheListAndTheTreeToWhatMatches) {
    make_folder("reports");
    make_folder("letters");
    described_by_user("reports\\q1 summary.txt", "Quarterly figures for the board");
    described_by_user("reports\\q2 summary.txt", "Figures of spring, a draft");
    described_by_user("letters\\to anna.txt", "Birthday wishes");
    std::string minutes = described_by_user("letters\\Board minutes.doc", "The March meeting");
    ASSERT_EQ(S_OK, invoke(minutes));
    ASSERT_NE(nullptr, open_list());
    const std::wstring q1 = L"reports\\q1 summary.txt", q2 = L"reports\\q2 summary.txt",
                       anna = L"letters\\to anna.txt", board = L"letters\\Board minutes.doc";
    struct {
        const wchar_t *typed;
        std::set<std::wstring> shown; // as the tree shows them, in their folders
    } cases[] = {
        {L"FIGURES", {q1, q2}},
        {L"board", {q1, board}}, // a description, and a path
        {L"  figures   Draft ", {q2}},
        {L"letters march", {board}},
        {L"figures wishes", {}},
        {L"\x0141odz", {}}, // no path or description in the code page holds it
        {L"   ", {q1, q2, anna, board}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        type_find(c.typed);
        std::set<std::wstring> names;
        for (const std::wstring &shown : c.shown)
            names.insert(shown.substr(shown.find(L'\\') + 1));
        EXPECT_EQ(names, row_names());
        click(231);
        EXPECT_EQ(c.shown, tree_leaves());
        click(230);
        press_escape();
        EXPECT_EQ(4u, rows().size()) << "Escape shows everything again";
    }
    // A row the box narrowed to is picked as any other.
    type_find(L"anna");
    click_row(0);
    EXPECT_EQ(L"Birthday wishes", shown_text());
}

TEST_F(FindAndKeep, AKeptDescriptionOfAReplacedItemIsShownAndAttachedAgain) {
    std::string report = described_by_user("report.txt", "Figures for the March report");
    described_by_user("report 2025.txt", "last year's report");
    std::string notes = described("notes.txt", 2, "notes");
    replace_item(report);
    ASSERT_EQ(S_OK, invoke(notes));
    ASSERT_NE(nullptr, open_list());
    const std::wstring kept = L"report.txt" + kept_mark;
    EXPECT_EQ(std::set<std::wstring>({kept, L"report 2025.txt", L"notes.txt"}), row_names());
    // Not the item's description: picking it loads nothing.
    click_row(row_of(kept));
    EXPECT_EQ(L"notes", shown_text());
    click(231);
    type_find(L"march");
    EXPECT_EQ(std::set<std::wstring>({L"data\\" + kept}), tree_leaves());
    click(230);
    press_escape();
    type_find(L"report");
    EXPECT_EQ(std::set<std::wstring>({kept, L"report 2025.txt"}), row_names());
    RECT list_frame = window_rect(list()), editor_frame = window_rect(editor_window());
    pump(200);
    EXPECT_TRUE(
        take_screenshot("list_find_and_kept", {list_frame.left - 8, editor_frame.top - 8,
                                               editor_frame.right + 8, list_frame.bottom + 8}));

    RECT item = {LVIR_LABEL, 0, 0, 0};
    SendMessageW(list_view(), LVM_GETITEMRECT, row_of(kept), reinterpret_cast<LPARAM>(&item));
    choose_first_by_right_click(list_view(),
                                {(item.left + item.right) / 2, (item.top + item.bottom) / 2});
    EXPECT_EQ("Figures for the March report", read_stream(report));
    EXPECT_EQ(std::set<std::wstring>({L"report.txt", L"report 2025.txt"}), row_names());
}
