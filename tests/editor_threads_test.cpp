#include "tests/ui_fixture.h"

#include <atomic>
#include <thread>

#include "module/class_ids.h"

TEST_F(EditorTest, OtherShellThreadsPointTheOneEditorAtTheirItem) {
    std::string first = make_file("first.txt"), second = make_file("second.txt");
    std::string third = make_file("third.txt");
    ASSERT_EQ(S_OK, invoke(first));
    HWND window = editor_window();
    ASSERT_NE(nullptr, window);

    // A folder window on its own thread: the editor stays on the thread that
    // owns it and shows the new item there.
    HRESULT from_other = E_UNEXPECTED;
    std::thread other([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        from_other = invoke(second);
        CoUninitialize();
    });
    other.join();
    EXPECT_EQ(S_OK, from_other);
    pump(200);
    EXPECT_EQ(window, editor_window());
    EXPECT_EQ(L"second.txt", title(window));
    press(32773);
    ASSERT_EQ(nullptr, editor_window());

    // A thread opens the editor and ends: its windows go with it, and the
    // next command opens a working editor on the calling thread.
    std::thread short_lived([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        invoke(first);
        CoUninitialize();
    });
    short_lived.join();
    pump(200);
    ASSERT_EQ(S_OK, invoke(third));
    window = editor_window();
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadProcessId(window, nullptr));
    EXPECT_EQ(L"third.txt", title(window));
    type("written after the thread ended");
    press(32771);
    EXPECT_EQ("written after the thread ended", read_stream(third));
    EXPECT_EQ(nullptr, editor_window());
    EXPECT_EQ(S_OK, can_unload_now());
}

TEST_F(EditorTest, ASaveWritesOnlyTheItemItWasGivenFor) {
    std::string first = make_file("first.txt"), second = make_file("second.txt");
    write_stream(second, 4, "second's own");
    is_member(4, second);
    std::string long_text(2100, 'x');
    ASSERT_EQ(S_OK, invoke(first));
    type(long_text);

    // While the warning is up the user picks another item, and presses save
    // once more; then answers the warning.
    std::atomic<bool> retargeted{false};
    std::atomic<int> warnings{0};
    std::thread user([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        HWND box = nullptr;
        for (int i = 0; i < 500 && !box; ++i, Sleep(10))
            box = FindWindowA("#32770", "Warning");
        if (!box) {
            CoUninitialize();
            return;
        }
        warnings = 1;
        invoke(second);
        for (int i = 0; i < 300 && !retargeted; ++i, Sleep(10))
            retargeted = title(editor_window()) == L"second.txt";
        // New text for the second item, and save pressed again: the save
        // under way ignores it.
        SendMessageA(text_box(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("typed for second"));
        SendMessageW(editor_window(), WM_COMMAND, 32771, 0);
        Sleep(200);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        CoUninitialize();
    });
    press(32771);
    user.join();
    EXPECT_EQ(1, warnings.load());
    EXPECT_TRUE(retargeted);
    EXPECT_EQ(std::string(2048, 'x'), read_stream(first));
    int kind = -1;
    EXPECT_EQ("second's own", read_stream(second, &kind));
    EXPECT_EQ(4, kind);
    // The save does not close the editor the user pointed elsewhere.
    EXPECT_EQ(L"second.txt", title(editor_window()));
}

// Wine's GetGuiResources always answers 0; there the probe of GDI handles
// and the count of the process's windows show what was left behind.
TEST_F(EditorTest, OpeningAndClosingLeavesNoObjectsBehind) {
    std::string file = make_file("often.txt");
    write_stream(file, 2, "opened often");
    ASSERT_EQ(S_OK, invoke(file));
    press(32773);
    HANDLE self = GetCurrentProcess();
    DWORD gdi = GetGuiResources(self, GR_GDIOBJECTS);
    DWORD user = GetGuiResources(self, GR_USEROBJECTS);
    int windows = own_windows();
    int gdi_objects = live_gdi_objects();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(S_OK, invoke(file));
        ASSERT_NE(nullptr, editor_window());
        press(i % 2 ? 32773 : 32771);
        ASSERT_EQ(nullptr, editor_window());
    }
    EXPECT_LE(GetGuiResources(self, GR_GDIOBJECTS), gdi + 2);
    EXPECT_LE(GetGuiResources(self, GR_USEROBJECTS), user + 2);
    EXPECT_EQ(windows, own_windows());
    EXPECT_LE(live_gdi_objects(), gdi_objects + 2);
    EXPECT_EQ(S_OK, can_unload_now());
}

TEST_F(EditorTest, AHostThatEndsWithTheEditorOpenExitsCleanly) {
    std::string file = make_file("left open.txt");
    write_stream(file, 0, "left open");
    std::string command = "\"" + build_output_folder() +
                          "ui_tests.exe\" --open-editor-and-exit \"" + tools_ +
                          "plivar_23.dll\" \"" + file + "\"";
    EXPECT_EQ(0u, run_program(command, 30000));
}

namespace {

const UINT open_second_message = WM_APP + 20;
EditorTest *folder_window_test;
std::string folder_window_item;

// A folder window of the editor's thread: the user right-clicks another item
// there while a message box of the editor is up.
LRESULT CALLBACK folder_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == open_second_message) {
        folder_window_test->open_from_folder_window(folder_window_item);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

} // namespace

TEST_F(EditorTest, AnEditorClosedDuringItsWarningWaitsForIt) {
    std::string first = make_file("first.txt");
    folder_window_item = make_file("second.txt");
    folder_window_test = this;
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = folder_window_proc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"FolderWindowStandIn";
    RegisterClassW(&window_class);
    HWND folder = CreateWindowW(L"FolderWindowStandIn", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    ASSERT_EQ(S_OK, invoke(first));
    type(std::string(2100, 'w'));
    std::atomic<HRESULT> unload_during{E_UNEXPECTED};
    std::atomic<bool> open_after_close{false}, retargeted{false};
    std::thread user([&] {
        HWND box = nullptr;
        for (int i = 0; i < 500 && !box; ++i, Sleep(10))
            box = FindWindowA("#32770", "Warning");
        if (!box)
            return;
        // The close box while the warning is up: the save and the toolbar
        // that started it are still on the editor thread's stack.
        PostMessageW(editor_window(), WM_CLOSE, 0, 0);
        Sleep(300);
        open_after_close = editor_window() != nullptr;
        unload_during = can_unload_now();
        // Another item asked for meanwhile is shown, and outlasts the close;
        // a save of it waits for the warning to be answered.
        PostMessageW(folder, open_second_message, 0, 0);
        for (int i = 0; i < 300 && !retargeted; ++i, Sleep(10))
            retargeted = title(editor_window()) == L"second.txt";
        SendMessageA(text_box(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("second's new text"));
        SendMessageW(editor_window(), WM_COMMAND, 32771, 0);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    press(32771);
    user.join();
    pump(200);
    EXPECT_TRUE(open_after_close.load());
    EXPECT_EQ(S_FALSE, unload_during.load());
    EXPECT_TRUE(retargeted.load());
    EXPECT_EQ(std::string(2048, 'w'), read_stream(first)) << "the save the user asked for";
    EXPECT_EQ("<no stream>", read_stream(folder_window_item));
    ASSERT_EQ(L"second.txt", title(editor_window()));
    type("second's new text");
    press(32771);
    EXPECT_EQ("second's new text", read_stream(folder_window_item));
    EXPECT_EQ(nullptr, editor_window());
    DestroyWindow(folder);
    pump();
    EXPECT_EQ(S_OK, can_unload_now());
}

TEST_F(EditorTest, AWaitingRetargetNeverOutlivesItsEditor) {
    std::string a = make_file("a.txt"), b = make_file("b.txt"), c = make_file("c.txt");
    auto command_from_another_thread = [&](const std::string &path) {
        std::thread other([&] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            invoke(path);
            CoUninitialize();
        });
        other.join();
    };
    // A newer command on the editor's own thread wins over one another
    // thread left waiting.
    ASSERT_EQ(S_OK, invoke(a));
    command_from_another_thread(b);
    ASSERT_EQ(S_OK, invoke(c));
    pump(200);
    EXPECT_EQ(L"c.txt", title(editor_window()));
    press(32773);

    // The editor closes before its thread reads a waiting retarget: the
    // next editor shows the item of its own command, and saves there.
    ASSERT_EQ(S_OK, invoke(a));
    command_from_another_thread(b);
    SendMessageW(editor_window(), WM_COMMAND, 32773, 0);
    ASSERT_EQ(nullptr, editor_window());
    ASSERT_EQ(S_OK, invoke(c));
    pump(200);
    EXPECT_EQ(L"c.txt", title(editor_window()));
    type("meant for c");
    press(32771);
    EXPECT_EQ("meant for c", read_stream(c));
    EXPECT_EQ("<no stream>", read_stream(b));
}
