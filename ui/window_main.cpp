#include "ui/window_main.h"

#include <shlobj.h>
#include <uxtheme.h>

#include <algorithm>
#include <vector>

#include "module/module_lifetime.h"
#include "module/module_start_up.h"
#include "resources/resource.h"
#include "store/description_edit.h"
#include "store/info_holder.h"
#include "store/item_info.h"
#include "store/path_text.h"
#include "ui/bitmaps.h"
#include "ui/icon_chooser.h"
#include "ui/window_entry.h"

CWindowMain editor;

namespace {

// Another thread handed the editor an item to show (pending_path).
const UINT retarget_message = WM_APP + 1;
// A close asked for inside a control's notice or while a box waited.
const UINT close_message = WM_APP + 3;

const int initial_width = 293;
const int initial_height = 65;
const int button_count = 5;
const int kind_button = 3;
const int content_margins = 3602;

int valid_kind(int kind) {
    return kind >= 0 && kind <= 5 ? kind : 0;
}

// The text box's text in the system code page, exactly: false when a
// character typed there has no form in it. A look-alike ("L" for "Ł") would
// store another text than the one the user wrote.
bool read_text(HWND edit, std::string &text) {
    text.clear();
    int length = GetWindowTextLengthW(edit);
    if (length <= 0)
        return true;
    std::vector<wchar_t> wide(length + 1);
    wide.resize(GetWindowTextW(edit, wide.data(), length + 1) + 1);
    wide.back() = L'\0';
    return exact_ansi_of(wide.data(), text);
}

// While a box or the icon chooser waits, the editor's other windows wait
// with the one it disables.
class OthersDisabled {
  public:
    explicit OthersDisabled(std::initializer_list<HWND> windows) : focus_(GetFocus()) {
        for (HWND window : windows)
            if (window && IsWindowEnabled(window)) {
                EnableWindow(window, FALSE);
                disabled_.push_back(window);
            }
    }
    OthersDisabled(const OthersDisabled &) = delete;
    OthersDisabled &operator=(const OthersDisabled &) = delete;
    ~OthersDisabled() {
        for (HWND window : disabled_)
            if (IsWindow(window))
                EnableWindow(window, TRUE);
        if (focus_ && IsWindow(focus_) && IsWindowEnabled(focus_))
            SetFocus(focus_);
    }

  private:
    HWND focus_;
    std::vector<HWND> disabled_;
};

// `flag` is set for as long as this lives, also when the code under it
// ends by an exception.
class FlagScope {
  public:
    explicit FlagScope(bool &flag) : flag_(flag) { flag_ = true; }
    FlagScope(const FlagScope &) = delete;
    FlagScope &operator=(const FlagScope &) = delete;
    ~FlagScope() { flag_ = false; }

  private:
    bool &flag_;
};

// Explorer's folder windows and the desktop refresh on F5; any other window
// would take the key as its own command.
bool is_shell_view(HWND window) {
    wchar_t name[32];
    if (!window || !GetClassNameW(window, name, 32))
        return false;
    for (const wchar_t *shell_class : {L"CabinetWClass", L"ExploreWClass", L"Progman", L"WorkerW"})
        if (lstrcmpW(name, shell_class) == 0)
            return true;
    return false;
}

void press_refresh_key() {
    INPUT keys[2] = {};
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = VK_F5;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, keys, sizeof(INPUT));
}

void after_library_calls() {
    editor.AfterCalls();
}

RECT frame_of(HWND window) {
    RECT frame = {};
    if (window)
        GetWindowRect(window, &frame);
    return frame;
}

void add_to_bounds(RECT &bounds, HWND window) {
    if (!window || !IsWindowVisible(window))
        return;
    RECT frame = frame_of(window);
    UnionRect(&bounds, &bounds, &frame);
}

} // namespace

LRESULT CALLBACK EditorProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    WindowEntry entry;
    bool own = editor.hwnd == window;
    // Nothing may unwind into the host's message loop.
    try {
        switch (message) {
        case WM_DESTROY:
            if (own) {
                if (editor.text_window.hwnd)
                    DestroyWindow(editor.text_window.hwnd);
                if (editor.list_window.hwnd)
                    DestroyWindow(editor.list_window.hwnd);
                editor.toolbar = nullptr;
                if (editor.toolbar_images) {
                    ImageList_Destroy(editor.toolbar_images);
                    editor.toolbar_images = nullptr;
                }
            }
            break;
        case WM_NCDESTROY:
            editor.Destroyed(window);
            break;
        case WM_MOVE:
            // Minimized or maximized, the editor has no place to dock to.
            if (own && !IsIconic(window) && !IsZoomed(window)) {
                editor.text_window.Dock();
                editor.list_window.Dock();
            }
            break;
        case WM_SYSCOMMAND:
            // A tool window has no button to come back from minimized.
            switch (wparam & 0xFFF0) {
            case SC_MINIMIZE:
            case SC_MAXIMIZE:
            case SC_SIZE:
                return 0;
            }
            break;
        case WM_PAINT:
            if (own)
                editor.Initialize();
            break;
        case WM_CLOSE:
            if (own)
                editor.RequestClose(false, false);
            return 0;
        case WM_COMMAND:
            if (own)
                editor.OnCommand(wparam, reinterpret_cast<HWND>(lparam));
            break;
        case WM_THEMECHANGED:
            release_button_theme();
            break;
        case WM_SYSCOLORCHANGE:
            if (own)
                editor.ColoursChanged();
            break;
        case retarget_message:
            if (own)
                editor.TakeRetarget();
            return 0;
        case close_message:
            if (own)
                editor.OnClose();
            return 0;
        case group_resized_message:
            if (own)
                editor.KeepInWorkArea();
            return 0;
        }
    } catch (...) {
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

HRESULT CWindowMain::Open(const std::wstring &target) {
    // A box shown while the item loads lets a close in: it waits for the load.
    WindowEntry entry;
    std::unique_lock<std::mutex> lock(open_lock);
    if (open_window && !IsWindow(open_window))
        ForgetLocked();
    if (creating || (open_window && (owner_thread != GetCurrentThreadId() || loading))) {
        // Taken by the window's thread once it is free: a load under way
        // finishes first and then takes it.
        pending_path = target;
        has_pending = true;
        if (open_window)
            PostMessageW(open_window, retarget_message, 0, 0);
        return S_OK;
    }
    if (open_window) {
        // This command is newer than one another thread left waiting, and
        // than a close asked for before it.
        has_pending = false;
        pending_path.clear();
        lock.unlock();
        close_waiting = false;
        LoadTarget(target, false);
        return S_OK;
    }
    // Windows are made without the lock: creating one may wait on other
    // threads' windows, whose threads may be waiting here.
    creating = true;
    owner_thread = GetCurrentThreadId();
    lock.unlock();
    path = target;
    text.clear();
    has_description = false;
    icon_kind = 0;
    bool created = Create();
    lock.lock();
    creating = false;
    if (!created) {
        has_pending = false;
        pending_path.clear();
        return E_FAIL;
    }
    lock.unlock();
    LoadTarget(target, false);
    return S_OK;
}

bool CWindowMain::Create() {
    HICON icon = LoadIconW(module_instance, MAKEINTRESOURCEW(IDI_APPLICATION_ICON));
    if (!RegisterWindowClass(EditorProc, reinterpret_cast<HBRUSH>(COLOR_MENU + 1), L"Quillarvent",
                             icon))
        return false;
    WindowEntry::set_idle_hook(after_library_calls);
    width = initial_width;
    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    // No minimize, maximize or sizing: a minimized tool window has no
    // taskbar button to come back by, and the editor sizes itself.
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, L"Quillarvent", L"",
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                                  (desktop.right - desktop.left) / 2 - initial_height / 2,
                                  (desktop.bottom - desktop.top) / 2 - 200, width, initial_height,
                                  nullptr, nullptr, module_instance, nullptr);
    if (!window)
        return false;
    {
        // The library stays loaded while its window procedure can be called.
        std::lock_guard<std::mutex> lock(open_lock);
        hwnd = window;
        open_window = window;
        window_thread = GetCurrentThreadId();
        counted = true;
        module_add_ref();
    }
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    return true;
}

void CWindowMain::Initialize() {
    if (initialized || !hwnd)
        return;
    initialized = true;
    SetWindowTextW(hwnd, file_name_of(path).c_str());
    CreateToolbar();
    text_window.Create(hwnd);
}

bool CWindowMain::CreateToolbar() {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    toolbar = CreateWindowExW(0, TOOLBARCLASSNAMEW, nullptr,
                              WS_CHILD | TBSTYLE_TRANSPARENT | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS, 0,
                              0, 0, 0, hwnd, nullptr, module_instance, nullptr);
    if (!toolbar)
        return false;
    toolbar_images = ImageList_Create(47, 33, ILC_COLOR32, 4, 1);
    const int images[button_count] = {IDB_SAVE, IDB_REMOVE, IDB_CLOSE, IDB_KIND_LARGE + icon_kind,
                                      IDB_LIST};
    TBBUTTON buttons[button_count] = {};
    for (int i = 0; i < button_count; ++i) {
        HBITMAP bitmap = GetBitmap(images[i], true);
        if (toolbar_images && bitmap)
            ImageList_Add(toolbar_images, bitmap, nullptr);
        LoadStringW(module_instance, IDS_TOOLTIP_FIRST + i, button_texts[i], 100);
        buttons[i].iBitmap = i;
        buttons[i].idCommand = IDC_SAVE + i;
        buttons[i].fsState = TBSTATE_ENABLED;
        buttons[i].fsStyle = BTNS_BUTTON;
        buttons[i].iString = reinterpret_cast<INT_PTR>(button_texts[i]);
    }
    SendMessageW(toolbar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(toolbar_images));
    SendMessageW(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    SendMessageW(toolbar, TB_ADDBUTTONSW, button_count, reinterpret_cast<LPARAM>(buttons));
    SendMessageW(toolbar, TB_SETMAXTEXTROWS, 0, 0);

    RECT last = {}, first = {}, frame, bar;
    SendMessageW(toolbar, TB_GETRECT, IDC_SHOW_LIST, reinterpret_cast<LPARAM>(&last));
    SendMessageW(toolbar, TB_GETRECT, IDC_SAVE, reinterpret_cast<LPARAM>(&first));
    GetWindowRect(hwnd, &frame);
    GetWindowRect(toolbar, &bar);
    MARGINS margins = {0, 0, 1, 1};
    if (HTHEME theme = button_theme())
        GetThemeMargins(theme, nullptr, 1, 0, content_margins, nullptr, &margins);
    width = (last.right - first.left) + 2 * (bar.left - frame.left);
    int height = (last.bottom - last.top) + (bar.top - frame.top) + margins.cyTopHeight +
                 margins.cyBottomHeight + 4;
    SetWindowPos(hwnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
    text_window.least_width = width;
    SendMessageW(toolbar, TB_AUTOSIZE, 0, 0);
    ShowWindow(toolbar, SW_SHOWNORMAL);
    return true;
}

void CWindowMain::LoadTarget(const std::wstring &target, bool from_list) {
    if (!hwnd)
        return;
    HWND window = hwnd;
    // A box shown while the item is read (the index's or the file type's)
    // lets other messages in: until the item is read whole, the editor
    // shows the previous one and takes no command.
    std::string read;
    bool described;
    int kind;
    {
        FlagScope load(loading);
        // A description that came with a copied file, in a host that asked
        // no overlay about it, is shown, and so never overwritten unseen.
        if (info_holder.lookup(target.c_str()) != CInfoHolder::entry_state::described &&
            fits_code_page(target.c_str())) {
            int32_t carried = read_icon_kind(target.c_str());
            if (carried != -1)
                info_holder.enter_described(target.c_str(), carried);
        }
        described = info_holder.get_description(target.c_str(), read);
        kind = valid_kind(info_holder.get_icon_kind(target.c_str()));
    }
    if (hwnd != window)
        return;
    path = target;
    text.swap(read);
    has_description = described;
    ++shown_count;
    // A command from the menu shows an item the list did not pick: clicking
    // the list's row again picks it.
    if (!from_list)
        list_window.ClearSelection();
    if (IsIconic(hwnd) || IsZoomed(hwnd))
        ShowWindow(hwnd, SW_RESTORE);
    else if (!IsWindowVisible(hwnd))
        ShowWindow(hwnd, SW_SHOW);
    SetWindowTextW(hwnd, file_name_of(path).c_str());
    SetIconKind(kind);
    text_window.ShowText(text, file_name_of(path));
    // The text and list windows are owned by the editor: they stay above it.
    SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    // A command from the menu is for typing; the list keeps the keyboard for
    // the next pick.
    if (!from_list && text_window.edit && GetFocus() != text_window.edit)
        SetFocus(text_window.edit);
    bool waiting;
    {
        std::lock_guard<std::mutex> lock(open_lock);
        waiting = has_pending;
    }
    if (waiting)
        PostMessageW(hwnd, retarget_message, 0, 0);
}

void CWindowMain::SetIconKind(int kind) {
    icon_kind = valid_kind(kind);
    if (!toolbar || !toolbar_images)
        return;
    HBITMAP bitmap = GetBitmap(IDB_KIND_LARGE + icon_kind, true);
    if (!bitmap)
        return;
    ImageList_Replace(toolbar_images, kind_button, bitmap, nullptr);
    InvalidateRect(toolbar, nullptr, TRUE);
}

void CWindowMain::ColoursChanged() {
    colours_changed();
    if (!toolbar_images)
        return;
    const int images[button_count] = {IDB_SAVE, IDB_REMOVE, IDB_CLOSE, IDB_KIND_LARGE + icon_kind,
                                      IDB_LIST};
    for (int i = 0; i < button_count; ++i)
        if (HBITMAP bitmap = GetBitmap(images[i], true))
            ImageList_Replace(toolbar_images, i, bitmap, nullptr);
    InvalidateRect(toolbar, nullptr, TRUE);
}

int CWindowMain::Box(const char *box_text, const char *caption, UINT type) {
    // The box's loop lets a close in: it waits until the box is answered.
    WindowEntry entry;
    HWND owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(open_lock);
        if (open_window && owner_thread == GetCurrentThreadId())
            owner = open_window;
    }
    if (!owner)
        return MessageBoxA(nullptr, box_text, caption, type);
    OthersDisabled waiting({text_window.hwnd, list_window.hwnd});
    return MessageBoxA(owner, box_text, caption, type);
}

void show_store_report(const char *caption, const char *text) {
    editor.Box(text, caption, MB_OK);
}

DWORD CWindowMain::Save() {
    // Without a text box there is nothing the user wrote.
    if (!text_window.edit)
        return ERROR_INVALID_WINDOW_HANDLE;
    // What the user saw when the command came: the warning below lets other
    // messages in, and they may point the editor at another item.
    std::wstring item = path;
    int kind = icon_kind;
    std::string typed;
    if (!read_text(text_window.edit, typed))
        return ERROR_NO_UNICODE_TRANSLATION;
    if (cut_to_stored_length(typed))
        Box(truncation_warning, "Warning", MB_OK);
    return info_holder.add_description(item.c_str(), kind, typed.c_str());
}

DWORD CWindowMain::Remove() {
    std::wstring item = path;
    // Its stream may be there, but the index cannot name the item.
    if (!fits_code_page(item.c_str()))
        return ERROR_NO_UNICODE_TRANSLATION;
    return info_holder.remove_description(item.c_str());
}

void CWindowMain::OnCommand(WPARAM command, HWND control) {
    // A command while a box, a menu or a load of the library waits on this
    // thread would act on an item half shown or already left.
    if (!WindowEntry::outermost() || loading)
        return;
    std::wstring item = path;
    unsigned shown = shown_count;
    switch (command) {
    case IDC_SAVE: {
        DWORD code = Save();
        if (const char *error = save_error_text(code))
            Box(error, "Error", MB_OK);
        // 1: the stream was written, files.dat was not (the store said so).
        if (code != ERROR_SUCCESS && code != 1)
            break;
        SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, item.c_str(), nullptr);
        if (code == ERROR_SUCCESS && hwnd)
            list_window.ShowView();
        Finish(shown, control != nullptr);
        break;
    }
    case IDC_REMOVE: {
        DWORD code = Remove();
        // A description that is still there keeps its editor open.
        if (code != ERROR_SUCCESS) {
            Box(remove_error_text(code), "Error", MB_OK);
            break;
        }
        SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, item.c_str(), nullptr);
        if (hwnd)
            list_window.RecordRemoved(item);
        Finish(shown, control != nullptr);
        break;
    }
    case IDC_CLOSE:
        if (!browse_mode)
            RequestClose(false, control != nullptr);
        break;
    case IDC_SELECT_ICON: {
        INT_PTR chosen;
        {
            OthersDisabled waiting({text_window.hwnd, list_window.hwnd});
            chosen = run_icon_chooser(hwnd);
        }
        // The marker picked is for the item shown when the chooser opened.
        if (chosen && shown == shown_count)
            SetIconKind(static_cast<int>(chosen - IDC_KIND_FIRST));
        break;
    }
    case IDC_SHOW_LIST:
        browse_mode = true;
        text_window.centred = false;
        // Without a list nothing would clear it again, and the close
        // button would stay dead.
        if (!list_window.Create(this)) {
            browse_mode = false;
            text_window.centred = true;
        }
        text_window.Dock();
        KeepInWorkArea();
        break;
    }
}

void CWindowMain::Finish(unsigned shown, bool from_control) {
    // Pointed at another item meanwhile, the editor is the user's newer
    // command's; with the list open it stays for the next pick.
    if (!hwnd || shown != shown_count || browse_mode)
        return;
    RequestClose(true, from_control);
}

void CWindowMain::RequestClose(bool refresh_shell, bool from_control) {
    if (!hwnd)
        return;
    refresh_after_close = refresh_after_close || refresh_shell;
    if (from_control)
        PostMessageW(hwnd, close_message, 0, 0);
    else
        OnClose();
}

void CWindowMain::OnClose() {
    if (!WindowEntry::outermost()) {
        close_waiting = true;
        return;
    }
    close_waiting = false;
    bool refresh = refresh_after_close;
    refresh_after_close = false;
    if (refresh) {
        // A save or removal closes the editor, but a command for another
        // item that came meanwhile is shown instead.
        std::lock_guard<std::mutex> lock(open_lock);
        if (has_pending) {
            PostMessageW(hwnd, retarget_message, 0, 0);
            return;
        }
    }
    DestroyWindow(hwnd);
    if (refresh && is_shell_view(GetForegroundWindow()))
        press_refresh_key();
}

void CWindowMain::AfterCalls() {
    // Other threads pass here too, after a command they handed over.
    if (window_thread.load() != GetCurrentThreadId() || !hwnd)
        return;
    if (close_waiting) {
        close_waiting = false;
        PostMessageW(hwnd, close_message, 0, 0);
    }
    list_window.AfterCalls();
}

void CWindowMain::TakeRetarget() {
    // A load under way takes the waiting item when it is done.
    if (loading)
        return;
    std::wstring target;
    {
        std::lock_guard<std::mutex> lock(open_lock);
        if (!has_pending)
            return;
        target.swap(pending_path);
        has_pending = false;
    }
    close_waiting = false;
    refresh_after_close = false;
    LoadTarget(target, false);
}

bool CWindowMain::ShowPicked(const std::wstring &target) {
    if (loading)
        return true;
    LoadTarget(target, true);
    return has_description;
}

void CWindowMain::ListClosed() {
    browse_mode = false;
    text_window.centred = true;
    text_window.Dock();
}

void CWindowMain::KeepInWorkArea() {
    if (!hwnd || IsIconic(hwnd) || IsZoomed(hwnd))
        return;
    RECT bounds = frame_of(hwnd);
    add_to_bounds(bounds, text_window.hwnd);
    add_to_bounds(bounds, list_window.hwnd);
    RECT area = work_area_of(hwnd);
    int dx = 0, dy = 0;
    if (bounds.right > area.right)
        dx = area.right - bounds.right;
    if (bounds.left + dx < area.left)
        dx = area.left - bounds.left;
    if (bounds.bottom > area.bottom)
        dy = area.bottom - bounds.bottom;
    if (bounds.top + dy < area.top)
        dy = area.top - bounds.top;
    if (dx == 0 && dy == 0)
        return;
    RECT frame = frame_of(hwnd);
    // The docked windows follow on WM_MOVE.
    SetWindowPos(hwnd, nullptr, frame.left + dx, frame.top + dy, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWindowMain::Destroyed(HWND window) {
    std::lock_guard<std::mutex> lock(open_lock);
    if (hwnd == window) {
        hwnd = nullptr;
        initialized = false;
        close_waiting = refresh_after_close = false;
    }
    if (open_window == window)
        ForgetOpenWindowLocked();
}

void CWindowMain::ForgetOpenWindowLocked() {
    open_window = nullptr;
    window_thread = 0;
    // A retarget posted to it went with it: it must not point the next
    // editor at an item its own command did not name.
    has_pending = false;
    pending_path.clear();
    if (counted) {
        counted = false;
        module_release();
    }
}

void CWindowMain::ForgetLocked() {
    // The thread that owned the window ended and took its windows along
    // without a word to them.
    hwnd = nullptr;
    initialized = false;
    toolbar = nullptr;
    if (toolbar_images) {
        ImageList_Destroy(toolbar_images);
        toolbar_images = nullptr;
    }
    text_window.Destroyed();
    list_window.Destroyed();
    browse_mode = false;
    loading = close_waiting = refresh_after_close = false;
    text_window.centred = true;
    ForgetOpenWindowLocked();
}

bool CWindowMain::ReleaseWindowClasses() {
    std::lock_guard<std::mutex> lock(open_lock);
    if (open_window && !IsWindow(open_window))
        ForgetLocked();
    if (open_window || creating)
        return false;
    return UnregisterWindowClass();
}
