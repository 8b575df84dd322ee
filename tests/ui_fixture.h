#pragma once

#include <windows.h>
#include <shellapi.h>

#include "tests/dll_fixture.h"
#include "tests/drop_data.h"
#include "tests/message_box_catcher.h"

#include <string>
#include <vector>

// The shell's side of the editor: a right click, the menu entry, and the
// windows that open, read back through their controls.
class EditorTest : public DllTest {
  public:
    // A right click from a window procedure of the test's thread.
    void open_from_folder_window(const std::string &path) { invoke(path); }

  protected:
    void TearDown() override;

    // Initialize with `names`, QueryContextMenu on a fresh menu, then the
    // entry's command; the result of InvokeCommand.
    HRESULT invoke(const std::vector<std::wstring> &names);
    HRESULT invoke(const std::string &path) { return invoke({wide(path)}); }

    // Dispatches this thread's messages for `ms` milliseconds.
    static void pump(DWORD ms = 50);
    static HWND editor_window();
    // The text window of this process: the pop-up holding text box 202.
    static HWND text_window();
    static HWND text_box();
    static HWND toolbar();
    static std::wstring title(HWND window);
    static std::string read_stream(const std::string &path, int *kind = nullptr);
    // Presses a toolbar button as a click does: the command reaches the
    // editor through its window procedure.
    static void press(int command);
    // Replaces the text box's text as a paste does.
    void type(const std::string &text);
    // Live GDI objects of this process, found by probing handle values: Wine
    // takes a handle without its generation bits as its table slot (its
    // GetGuiResources always answers 0).
    static int live_gdi_objects();
    // Top-level windows of this process, hidden ones (tool tips) included.
    static int own_windows();
    // Drops the stream of `path` as a program of another user would: with
    // no copy of the description in this user's keep file, nothing brings
    // it back.
    static bool drop_unkept_description(const std::string &path);
    // The column's value of `path`, empty when it has none.
    std::wstring column_text(const std::string &path);
};
