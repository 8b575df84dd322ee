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
// the window's own thread load it.
class CWindowMain : public CWindowBase {
  public:
    // From the context-menu command, on any thread: shows `path` in the open
    // editor, or opens one on the calling thread. E_FAIL when no editor
    // could be created.
    HRESULT Open(const std::wstring &target);

    // Creates and shows the window for `path`; false when the class cannot
    // be registered or the window not created.
    bool Create();
    // Reads the item `path` names and shows its text and marker. Called by
    // the menu command and by a selection in the list; only the list drops
    // an entry, and only its own (a retarget from the menu leaves the list
    // as it is).
    void LoadTarget();
    // Title, toolbar and text window, on the first paint of each window.
    void Initialize() override;
    // Saves the text box's text with the marker shown, for the item shown
    // when called: 0 or add_description's code.
    DWORD Save();
    // Removes the description of the item shown: 0 or the error that kept it.
    DWORD Remove();
    void SetIconKind(int kind);

    // On DllCanUnloadNow: forgets a window whose thread ended without
    // destroying it, and gives up the window class once no window of the
    // library exists. True when the library holds no window class then.
    bool ReleaseWindowClasses();

    HWND toolbar = nullptr;
    int width = 293;
    int icon_kind = 0;
    bool has_description = false;
    CWindowDescription text_window;
    CWindowTree list_window;
    std::wstring path;
    std::string text;
    bool browse_mode = false;

  private:
    friend LRESULT CALLBACK EditorProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

    bool CreateToolbar();
    // The description and marker of `path`, looked up in the index; an
    // item the index has not seen yet is looked at first.
    void ReadTarget();
    void OnCommand(HWND window, WPARAM command);
    void TakeRetarget();
    // After a save or removal: unless the list keeps the editor open, the
    // window that got the command closes, if it is still there.
    void Finish(HWND window);
    void Destroyed(HWND window);
    void ForgetLocked();
    // Under open_lock: no window is open any more; the library's unit for it
    // is given back.
    void ForgetOpenWindowLocked();

    HIMAGELIST toolbar_images = nullptr;
    wchar_t button_texts[5][100] = {};
    // The window whose save or removal waits on a message box: its further
    // toolbar commands are ignored until that is done. An editor opened
    // meanwhile, after that window closed, is not held up.
    std::atomic<HWND> busy_window{nullptr};

    // What other threads may know of the editor, under `open_lock`.
    std::mutex open_lock;
    HWND open_window = nullptr;
    DWORD owner_thread = 0;
    bool creating = false;
    bool counted = false;
    bool has_pending = false;
    std::wstring pending_path;
};

extern CWindowMain editor;
