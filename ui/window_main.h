#pragma once

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <mutex>
#include <string>

#include "ui/window_base.h"
#include "ui/window_description.h"
#include "ui/window_tree.h"

// The description editor: a tool window whose toolbar saves, removes,
// closes, picks the marker and opens the list, with the text window docked
// under it. There is one per process; a command for another item while it
// is open points it at that item.
//
// The editor lives on the thread that opened it. Its fields are touched only
// there; a command from another shell thread hands its path over and lets
// the window's own thread load it. While a box, a menu or a load waits on
// that thread, no toolbar command acts and no window of the library is
// destroyed: a close waits until the waiting code has returned.
class CWindowMain : public CWindowBase, private list_owner {
  public:
    // From the context-menu command, on any thread: shows `target` in the
    // open editor, or opens one on the calling thread. E_FAIL when no
    // editor could be created.
    HRESULT Open(const std::wstring &target);

    // Shows a message box for the library: owned by the editor when it is
    // open on the calling thread, with its text and list windows disabled
    // while the box waits.
    int Box(const char *text, const char *caption, UINT type);

    // On DllCanUnloadNow: forgets a window whose thread ended without
    // destroying it, and gives up the window class once no window of the
    // library exists. True when the library holds no window class then.
    bool ReleaseWindowClasses();

    // Whatever was put off while other code of the library waited on this
    // thread; called once the last of it has returned.
    void AfterCalls();

  private:
    friend LRESULT CALLBACK EditorProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

    bool Create();
    // Title, toolbar and text window, on the first paint of each window.
    void Initialize() override;
    bool CreateToolbar();
    // Reads `target` whole and only then shows it: title, text and marker
    // change together. A load asked for while one waits on a box is taken
    // after it.
    void LoadTarget(const std::wstring &target, bool from_list);
    void SetIconKind(int kind);
    // `control` is the control that sent the command, null for none.
    void OnCommand(WPARAM command, HWND control);
    void TakeRetarget();
    // The text box's text for `path` with the marker shown: 0 or the error
    // that kept it from being written.
    DWORD Save();
    DWORD Remove();
    // After a save or removal: the editor closes unless it shows another
    // item by now or the list keeps it open.
    void Finish(unsigned shown, bool from_control);
    // Every close goes through here. It waits for the code under way, and
    // for the notice of the control that asked, if one did.
    void RequestClose(bool refresh_shell, bool from_control);
    void OnClose();
    void Destroyed(HWND window);
    void ForgetLocked();
    // Under open_lock: no window is open any more; the library's unit for it
    // is given back.
    void ForgetOpenWindowLocked();
    // Moves the editor so that it and its docked windows lie within the
    // work area of its monitor.
    void KeepInWorkArea();
    void ColoursChanged();

    // list_owner
    HWND dock_window() const override { return hwnd; }
    bool ShowPicked(const std::wstring &target) override;
    void ListClosed() override;

    HWND toolbar = nullptr;
    int width = 293;
    int icon_kind = 0;
    bool has_description = false;
    CWindowDescription text_window;
    CWindowTree list_window;
    std::wstring path;
    std::string text;
    bool browse_mode = false;
    // Counts what the editor showed: a command finishes only the item it
    // was given for.
    unsigned shown_count = 0;
    bool loading = false;
    bool close_waiting = false;
    bool refresh_after_close = false;
    HIMAGELIST toolbar_images = nullptr;
    wchar_t button_texts[5][100] = {};

    // What other threads may know of the editor, under `open_lock`.
    std::mutex open_lock;
    HWND open_window = nullptr;
    DWORD owner_thread = 0;
    // The thread of the open window, read without the lock after each call.
    std::atomic<DWORD> window_thread{0};
    bool creating = false;
    bool counted = false;
    bool has_pending = false;
    std::wstring pending_path;
};

extern CWindowMain editor;

// The store's messages in the DLL: boxes of the editor while it is open on
// the calling thread.
void show_store_report(const char *caption, const char *text);
