#include "tests/ui_fixture.h"

#include <commctrl.h>

#include <atomic>
#include <functional>
#include <thread>

#include "module/class_ids.h"

namespace {

const char warning_text[] =
    "Description more than 2000 chars\t\t\t\t\t   description will be truncated";

RECT window_rect(HWND window) {
    RECT r = {};
    GetWindowRect(window, &r);
    return r;
}

// The colour of the marker button's picture at (x, y); a few pixels inside
// the top of its disc, the disc's fill tells the kinds apart.
COLORREF kind_button_colour(HWND toolbar, int x = 23, int y = 7) {
    auto images = reinterpret_cast<HIMAGELIST>(SendMessageW(toolbar, TB_GETIMAGELIST, 0, 0));
    if (!images)
        return CLR_INVALID;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP canvas = CreateCompatibleBitmap(screen, 47, 33);
    HGDIOBJ old = SelectObject(dc, canvas);
    ImageList_Draw(images, 3, dc, 0, 0, ILD_NORMAL);
    COLORREF colour = GetPixel(dc, x, y);
    SelectObject(dc, old);
    DeleteObject(canvas);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return colour;
}

bool near_colour(COLORREF a, COLORREF b) {
    return abs(GetRValue(a) - GetRValue(b)) < 40 && abs(GetGValue(a) - GetGValue(b)) < 40 &&
           abs(GetBValue(a) - GetBValue(b)) < 40;
}

// Makes writing a stream to `path` fail with access denied: a read-only
// item refuses its stream on NTFS. Wine running as root writes read-only
// files all the same; there the stream's name is taken by a folder, which
// refuses writing with the same code.
void refuse_stream_writes(const std::string &path) {
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    HANDLE probe = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        ASSERT_TRUE(CreateDirectoryA((path + ":plivar").c_str(), nullptr));
    }
}

const COLORREF blue_disc = RGB(36, 104, 214);
const COLORREF sand_disc = RGB(234, 212, 160);

// Runs `act` on the icon chooser once it is shown and laid out, from a
// second thread, while the editor's thread is in the chooser's loop.
std::thread on_chooser(std::function<void(HWND)> act) {
    return std::thread([act] {
        for (int i = 0; i < 400; ++i) {
            HWND chooser = FindWindowW(L"#32770", L"Select icon");
            if (chooser && IsWindowVisible(chooser)) {
                Sleep(300);
                act(chooser);
                return;
            }
            Sleep(10);
        }
    });
}

} // namespace

TEST_F(EditorTest, OpensOneEditorAndPointsItAtTheNextItem) {
    std::string first = make_file("first.txt");
    std::string second = make_file("second.txt");
    write_stream(first, 0, "first text");
    is_member(0, first);
    std::string third = make_file("third.txt");
    ASSERT_EQ(S_OK, invoke({wide(first), wide(third), wide(second)}));

    HWND window = editor_window();
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    EXPECT_EQ(L"first.txt", title(window));
    HWND bar = toolbar();
    ASSERT_NE(nullptr, bar);
    ASSERT_EQ(5, SendMessageW(bar, TB_BUTTONCOUNT, 0, 0));
    for (int i = 0; i < 5; ++i) {
        TBBUTTON button = {};
        SendMessageW(bar, TB_GETBUTTON, i, reinterpret_cast<LPARAM>(&button));
        EXPECT_EQ(32771 + i, button.idCommand);
    }
    HWND text = text_window();
    ASSERT_NE(nullptr, text);
    RECT editor_frame = window_rect(window), text_frame = window_rect(text);
    EXPECT_EQ(editor_frame.bottom + 7, text_frame.top);
    EXPECT_EQ(editor_frame.left, text_frame.left);
    EXPECT_EQ(editor_frame.right - editor_frame.left, text_frame.right - text_frame.left);
    wchar_t shown[64] = L"";
    GetWindowTextW(text_box(), shown, 64);
    EXPECT_STREQ(L"first text", shown);
    EXPECT_EQ(L"first.txt", title(text));
    EXPECT_TRUE(near_colour(kind_button_colour(bar), blue_disc));
    EXPECT_EQ(S_FALSE, can_unload_now()) << "the library must stay while its window is open";
    RECT area = {editor_frame.left - 10, editor_frame.top - 10, text_frame.right + 10,
                 text_frame.bottom + 10};
    EXPECT_TRUE(take_screenshot("editor", area));

    write_stream(second, 2, "second text");
    is_member(2, second);
    ASSERT_EQ(S_OK, invoke(second));
    EXPECT_EQ(window, editor_window());
    EXPECT_EQ(L"second.txt", title(window));
    GetWindowTextW(text_box(), shown, 64);
    EXPECT_STREQ(L"second text", shown);
    EXPECT_TRUE(near_colour(kind_button_colour(toolbar()), sand_disc));

    press(32773);
    EXPECT_EQ(nullptr, editor_window());
    EXPECT_EQ(nullptr, text_window());
    EXPECT_EQ(S_OK, can_unload_now());
}

TEST_F(EditorTest, TheTextWindowGrowsWithItsTextAndShrinksToTheEditor) {
    std::string file = make_file("long.txt");
    ASSERT_EQ(S_OK, invoke(file));
    HWND window = editor_window(), text = text_window();
    ASSERT_TRUE(window && text);
    RECT editor_frame = window_rect(window);
    int editor_width = editor_frame.right - editor_frame.left;

    type("A line that is a good deal longer than the editor window is wide, typed in one go");
    RECT wide_frame = window_rect(text);
    int wide_width = wide_frame.right - wide_frame.left;
    EXPECT_GT(wide_width, editor_width);
    EXPECT_EQ(editor_frame.left - (wide_width - editor_width) / 2, wide_frame.left);
    EXPECT_EQ(editor_frame.bottom + 7, wide_frame.top);
    RECT area = {wide_frame.left - 10, editor_frame.top - 10, wide_frame.right + 10,
                 wide_frame.bottom + 10};
    EXPECT_TRUE(take_screenshot("editor_long_line", area));

    type("one\r\ntwo\r\nthree\r\nfour\r\nfive\r\nsix\r\nseven\r\neight");
    RECT tall = window_rect(text);
    EXPECT_GT(tall.bottom - tall.top, 100);
    type("");
    RECT small = window_rect(text);
    EXPECT_EQ(editor_width, small.right - small.left);
    EXPECT_EQ(100, small.bottom - small.top);
    EXPECT_EQ(editor_frame.left, small.left);

    // Moving the editor drags the text window along.
    SetWindowPos(window, nullptr, 50, 60, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    pump();
    RECT moved = window_rect(window), follows = window_rect(text);
    EXPECT_EQ(moved.left, follows.left);
    EXPECT_EQ(moved.bottom + 7, follows.top);

    // The window's own close box closes the text window too.
    SendMessageW(window, WM_CLOSE, 0, 0);
    pump();
    EXPECT_EQ(nullptr, editor_window());
    EXPECT_EQ(nullptr, text_window());
}

TEST_F(EditorTest, SaveWritesWhatTheShellThenShows) {
    std::string file = make_file("plan.txt");
    ASSERT_EQ(S_OK, invoke(file));
    type("Draft - do not send");
    bool shot = false;
    std::thread chooser = on_chooser([&](HWND dialog) {
        RECT area = window_rect(dialog);
        InflateRect(&area, 10, 10);
        shot = take_screenshot("icon_chooser", area);
        PostMessageW(GetDlgItem(dialog, 32788), BM_CLICK, 0, 0);
    });
    press(32774);
    chooser.join();
    EXPECT_TRUE(shot);
    EXPECT_FALSE(near_colour(kind_button_colour(toolbar()), blue_disc));

    // Closing the chooser without a choice keeps the pick.
    COLORREF picked = kind_button_colour(toolbar());
    std::thread closer = on_chooser([](HWND dialog) { PostMessageW(dialog, WM_CLOSE, 0, 0); });
    press(32774);
    closer.join();
    EXPECT_EQ(picked, kind_button_colour(toolbar()));

    press(32771);
    EXPECT_EQ(nullptr, editor_window());
    int kind = -1;
    EXPECT_EQ("Draft - do not send", read_stream(file, &kind));
    EXPECT_EQ(5, kind);
    EXPECT_NE(std::string::npos, index_file_bytes().find(file));
    EXPECT_EQ(S_OK, is_member(5, file));
    EXPECT_EQ(S_FALSE, is_member(0, file));
    EXPECT_EQ(L"Draft - do not send", column_text(file));
    EXPECT_EQ(L"Draft - do not send", info_tip(file));

    // Remove takes it away again and closes the editor.
    ASSERT_EQ(S_OK, invoke(file));
    press(32772);
    EXPECT_EQ(nullptr, editor_window());
    EXPECT_EQ("<no stream>", read_stream(file));
    EXPECT_EQ(S_FALSE, is_member(5, file));
    EXPECT_EQ(L"", column_text(file));
}

TEST_F(EditorTest, TextsAtAndOverTheLimit) {
    std::string over = make_file("over.txt"), limit = make_file("limit.txt");
    std::string empty = make_file("empty.txt");
    std::string long_text;
    for (int i = 0; long_text.size() < 2049; ++i)
        long_text += "word" + std::to_string(i) + (i % 10 == 9 ? "\r\n" : " ");
    long_text.resize(2049);
    {
        ASSERT_EQ(S_OK, invoke(over));
        type(long_text);
        MessageBoxCatcher warning("Warning", IDOK);
        press(32771);
        ASSERT_TRUE(warning.caught());
        EXPECT_EQ(warning_text, warning.text());
        EXPECT_EQ(long_text.substr(0, 2048), read_stream(over));
        std::wstring whole = wide(long_text.substr(0, 2048));
        EXPECT_EQ(whole, column_text(over));
        EXPECT_EQ(whole, info_tip(over));
    }
    {
        MessageBoxWatch warnings("Warning");
        ASSERT_EQ(S_OK, invoke(limit));
        type(long_text.substr(0, 2048));
        press(32771);
        EXPECT_EQ(0, warnings.count());
        EXPECT_EQ(long_text.substr(0, 2048), read_stream(limit));
    }
    // An empty text is a description too, with the marker it had.
    write_stream(empty, 3, "to be cleared");
    is_member(3, empty);
    ASSERT_EQ(S_OK, invoke(empty));
    type("");
    press(32771);
    int kind = -1;
    EXPECT_EQ("", read_stream(empty, &kind));
    EXPECT_EQ(3, kind);
    EXPECT_EQ(S_OK, is_member(3, empty));
}

TEST_F(EditorTest, FailuresAreReportedAsTheyAre) {
    std::string locked = make_file("locked.txt");
    refuse_stream_writes(locked);
    make_file("Lodz.txt");
    std::wstring foreign = wide(data_) + L"\x0141odz.txt";
    HANDLE file =
        CreateFileW(foreign.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    DWORD drives = GetLogicalDrives();
    char letter = 'Q';
    while (letter > 'D' && (drives & (1u << (letter - 'A'))))
        --letter;
    std::wstring nowhere = std::wstring(1, letter) + L":\\nowhere\\gone.txt";
    std::string typed_into = make_file("typed.txt");
    // A stream on a name the code page lacks: the index cannot name it.
    HANDLE stream = CreateFileW((foreign + L":plivar").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, stream);
    DWORD written = 0;
    WriteFile(stream, "\0\0\0\0foreign", 11, &written, nullptr);
    CloseHandle(stream);
    const std::wstring lodz = L"\x0141\x00f3d\x017a";
    struct {
        std::wstring path, typed;
        int command;
        const char *message;
    } cases[] = {
        {wide(locked), L"text", 32771, "Can't add description \n Access denied"},
        {foreign, L"text", 32771, "Can't add description \n File system not support"},
        {nowhere, L"text", 32771, "Can't add description ... Unknown error"},
        // Stored as typed or not at all: never as the look-alike "Lodz".
        {wide(typed_into), lodz, 32771,
         "Can't add description \n The text has characters the system code page lacks"},
        {foreign, L"", 32772,
         "Can't remove description \n The name has characters the system code page lacks"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.message);
        ASSERT_EQ(S_OK, invoke(std::vector<std::wstring>{c.path}));
        SendMessageW(text_box(), EM_SETSEL, 0, -1);
        SendMessageW(text_box(), EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(c.typed.c_str()));
        MessageBoxCatcher error("Error", IDOK);
        press(c.command);
        ASSERT_TRUE(error.caught());
        EXPECT_EQ(c.message, error.text());
        // Nothing happened: the editor stays with what the user typed.
        ASSERT_NE(nullptr, editor_window());
        wchar_t shown[16] = L"";
        GetWindowTextW(text_box(), shown, 16);
        EXPECT_EQ(c.typed, shown);
        press(32773);
        ASSERT_EQ(nullptr, editor_window());
    }
    EXPECT_EQ("", index_file_bytes());
    // Nothing landed on the look-alike the code page would have made.
    EXPECT_FALSE(path_exists(data_ + "Lodz.txt:plivar"));
    EXPECT_EQ("<no stream>", read_stream(typed_into));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((foreign + L":plivar").c_str()));

    // A removal the file refuses keeps the description and the editor.
    std::string kept = make_file("kept.txt");
    write_stream(kept, 1, "still here");
    is_member(1, kept);
    // Read-only on the item and on its stream's name: on NTFS the stream
    // shares the file's attributes, under Wine it is a file of its own.
    for (const std::string &name : {kept, kept + ":plivar"})
        ASSERT_TRUE(SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(S_OK, invoke(kept));
    {
        MessageBoxCatcher error("Error", IDOK);
        press(32772);
        ASSERT_TRUE(error.caught());
        EXPECT_EQ("Can't remove description \n Access denied", error.text());
    }
    EXPECT_NE(nullptr, editor_window());
    EXPECT_EQ("still here", read_stream(kept));
    EXPECT_EQ(S_OK, is_member(1, kept));
    EXPECT_EQ(L"still here", column_text(kept));
    for (const std::string &name : {kept, kept + ":plivar", locked})
        SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA((locked + ":plivar").c_str());
}

namespace {

const UINT change_message = WM_APP + 7;

struct shell_window_log {
    int f5_down = 0, f5_up = 0, item_changes = 0;
};
shell_window_log shell_log;

LRESULT CALLBACK stand_in_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_KEYDOWN && wparam == VK_F5)
        ++shell_log.f5_down;
    if (message == WM_KEYUP && wparam == VK_F5)
        ++shell_log.f5_up;
    if (message == change_message && (lparam & SHCNE_UPDATEITEM))
        ++shell_log.item_changes;
    return DefWindowProcW(window, message, wparam, lparam);
}

// A top-level window of `class_name` that takes the focus, as a folder
// window or a text editor would hold it before the user opened the editor.
HWND stand_in_window(const wchar_t *class_name) {
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = stand_in_proc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = class_name;
    RegisterClassW(&window_class);
    HWND window =
        CreateWindowExW(0, class_name, class_name, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 500, 500, 200,
                        100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetForegroundWindow(window);
    SetFocus(window);
    return window;
}

} // namespace

TEST_F(EditorTest, TheShellHearsOfTheChangeAndOnlyAFolderViewGetsF5) {
    std::string file = make_file("refresh.txt");
    for (const wchar_t *class_name : {L"CabinetWClass", L"NotepadLike"}) {
        SCOPED_TRACE(testing::Message() << class_name);
        shell_log = shell_window_log();
        HWND window = stand_in_window(class_name);
        PIDLIST_ABSOLUTE item = nullptr;
        ASSERT_EQ(S_OK, SHParseDisplayName(wide(file).c_str(), nullptr, &item, 0, nullptr));
        SHChangeNotifyEntry watched = {item, FALSE};
        ULONG registration =
            SHChangeNotifyRegister(window, SHCNRF_ShellLevel | SHCNRF_InterruptLevel,
                                   SHCNE_UPDATEITEM, change_message, 1, &watched);
        ASSERT_EQ(S_OK, invoke(file));
        type("refreshed");
        press(32771);
        pump(300);
        EXPECT_EQ(1, shell_log.item_changes);
        bool folder_view = lstrcmpW(class_name, L"CabinetWClass") == 0;
        EXPECT_EQ(folder_view ? 1 : 0, shell_log.f5_down);
        EXPECT_EQ(shell_log.f5_down, shell_log.f5_up) << "F5 is never left held";
        SHChangeNotifyDeregister(registration);
        CoTaskMemFree(item);
        DestroyWindow(window);
        pump();
    }
}

TEST_F(EditorTest, WithoutItsTextWindowTheEditorWritesNothing) {
    std::string file = make_file("no box.txt");
    ASSERT_EQ(S_OK, invoke(file));
    HWND window = editor_window();
    ASSERT_TRUE(text_window() && window);
    DestroyWindow(text_window());
    pump();
    // Moving the editor finds nothing to dock, and a save has no text to write.
    SetWindowPos(window, nullptr, 40, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    pump();
    MessageBoxCatcher error("Error", IDOK);
    press(32771);
    EXPECT_TRUE(error.caught());
    EXPECT_EQ("<no stream>", read_stream(file));
    EXPECT_EQ("", index_file_bytes());
    EXPECT_NE(nullptr, editor_window()) << "nothing was saved";
}

TEST_F(EditorTest, ADescriptionTheIndexHasNotSeenIsShownAndKept) {
    // Copied from another machine, in a host that asked no overlay about it.
    std::string file = make_file("copied.txt");
    write_stream(file, 2, "written on another machine");
    ASSERT_EQ(S_OK, invoke(file));
    wchar_t shown[64] = L"";
    GetWindowTextW(text_box(), shown, 64);
    EXPECT_STREQ(L"written on another machine", shown);
    EXPECT_TRUE(near_colour(kind_button_colour(toolbar()), sand_disc));
    // Saved untouched, it stays as it came; Remove then takes it away.
    press(32771);
    int kind = -1;
    EXPECT_EQ("written on another machine", read_stream(file, &kind));
    EXPECT_EQ(2, kind);
    ASSERT_EQ(S_OK, invoke(file));
    press(32772);
    EXPECT_EQ("<no stream>", read_stream(file));
    EXPECT_EQ(nullptr, editor_window());
}

// The editor stays where the user can see it, whatever its host does to it.
TEST_F(EditorTest, TheEditorStaysWholeOnTheScreen) {
    std::string first = make_file("first.txt"), second = make_file("second.txt");
    write_stream(second, 4, "second's text");
    ASSERT_EQ(S_OK, invoke(first));
    HWND window = editor_window();
    ASSERT_NE(nullptr, window);
    EXPECT_FALSE(GetWindowLongW(window, GWL_STYLE) &
                 (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
    SendMessageW(window, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    SendMessageW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    pump();
    EXPECT_FALSE(IsZoomed(window) || IsIconic(window)) << "from the system menu";

    // Minimized by its host all the same, the next command brings it back.
    ShowWindow(window, SW_MINIMIZE);
    pump();
    ASSERT_TRUE(IsIconic(window));
    ASSERT_EQ(S_OK, invoke(second));
    EXPECT_FALSE(IsIconic(window));
    EXPECT_EQ(L"second.txt", title(window));
    // The window system finishes the restore in its own time.
    pump(500);
    RECT editor_frame = window_rect(window);
    HWND text = text_window();
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(editor_frame.bottom + 7, window_rect(text).top) << "docked again";
    RECT shot = {editor_frame.left - 10, editor_frame.top - 10, editor_frame.right + 10,
                 window_rect(text).bottom + 10};
    EXPECT_TRUE(take_screenshot("editor_restored", shot));

    // However long the text, every window stays in the work area: alone,
    // beside the list, and with the list as wide as the user can drag it.
    RECT area = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    auto expect_inside = [&](std::initializer_list<HWND> windows) {
        for (HWND shown : windows) {
            RECT frame = window_rect(shown), within;
            EXPECT_TRUE(IntersectRect(&within, &frame, &area) && EqualRect(&within, &frame));
        }
    };
    std::string many_lines;
    for (int i = 0; i < 120; ++i)
        many_lines += "line " + std::to_string(i) + "\r\n";
    for (const std::string &long_text : {std::string(1500, 'm'), many_lines}) {
        type(long_text);
        expect_inside({window, text});
    }
    type(std::string(300, 'w') + "\r\n" + many_lines);
    RECT all = window_rect(window), text_frame = window_rect(text);
    UnionRect(&all, &all, &text_frame);
    InflateRect(&all, 4, 4);
    IntersectRect(&all, &all, &area);
    EXPECT_TRUE(take_screenshot("editor_long_text", all));

    press(32775);
    HWND list = FindWindowW(L"#32770", L"List of descriptions");
    ASSERT_NE(nullptr, list);
    type(std::string(1500, 'm'));
    RECT list_frame = window_rect(list);
    SetWindowPos(list, nullptr, 0, 0, area.right, list_frame.bottom - list_frame.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    pump();
    expect_inside({window, text, list});
}

TEST_F(EditorTest, TheToolbarFollowsTheMenuColour) {
    ASSERT_EQ(S_OK, invoke(make_file("colours.txt")));
    INT element = COLOR_MENU;
    COLORREF before = GetSysColor(COLOR_MENU), changed = RGB(200, 230, 200);
    // The grey around the marker's disc is drawn in the menu colour.
    ASSERT_EQ(before, kind_button_colour(toolbar(), 0, 0));
    ASSERT_TRUE(SetSysColors(1, &element, &changed));
    pump(200);
    EXPECT_EQ(changed, kind_button_colour(toolbar(), 0, 0));
    SetSysColors(1, &element, &before);
    pump(200);
    EXPECT_EQ(before, kind_button_colour(toolbar(), 0, 0));
}
