#include "ui/window_main.h"

#include <shlobj.h>
#include <uxtheme.h>

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

CWindowMain editor;

namespace {

// Another thread handed the editor an item to show (pending_path).
const UINT retarget_message = WM_APP + 1;

const int initial_width = 293;
const int initial_height = 65;
const int button_count = 5;
const int kind_button = 3;
const int content_margins = 3602;

int valid_kind(int kind) {
    return kind >= 0 && kind <= 5 ? kind : 0;
}

// The text box's text in the system code page, whole.
std::string read_text(HWND edit) {
    int length = GetWindowTextLengthW(edit);
    if (length <= 0)
        return std::string();
    std::vector<wchar_t> wide(length + 1);
    length = GetWindowTextW(edit, wide.data(), length + 1);
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_ACP, 0, wide.data(), length, &text[0], bytes, nullptr, nullptr);
    return text;
}

void show_error(const char *text) {
    MessageBoxA(nullptr, text, "Error", MB_OK);
}

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

// Keeps the library loaded while a command runs: a message box it shows
// lets the user close the window, which alone would let the host unload the
// code still on this thread's stack.
class ModuleHold {
  public:
    ModuleHold() { module_add_ref(); }
    ModuleHold(const ModuleHold &) = delete;
    ModuleHold &operator=(const ModuleHold &) = delete;
    ~ModuleHold() { module_release(); }
};

// Marks `window` as waiting on its save or removal for as long as it lives,
// also when the command ends by an exception.
class BusyWindow {
  public:
    BusyWindow(std::atomic<HWND> &busy, HWND window) : busy_(busy), window_(window) {
        busy_ = window;
    }
    BusyWindow(const BusyWindow &) = delete;
    BusyWindow &operator=(const BusyWindow &) = delete;
    // A save of another window that started meanwhile keeps its mark.
    ~BusyWindow() { busy_.compare_exchange_strong(window_, nullptr); }

  private:
    std::atomic<HWND> &busy_;
    HWND window_;
};

void press_refresh_key() {
    INPUT keys[2] = {};
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = VK_F5;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, keys, sizeof(INPUT));
}

} // namespace

LRESULT CALLBACK EditorProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
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
            if (own) {
                editor.text_window.Dock();
                editor.list_window.Dock();
            }
            break;
        case WM_PAINT:
            if (own)
                editor.Initialize();
            break;
        case WM_COMMAND:
            if (own)
                editor.OnCommand(window, wparam);
            break;
        case retarget_message:
            if (own)
                editor.TakeRetarget();
            return 0;
        }
    } catch (...) {
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

HRESULT CWindowMain::Open(const std::wstring &target) {
    std::unique_lock<std::mutex> lock(open_lock);
    if (open_window && !IsWindow(open_window))
        ForgetLocked();
    if (creating || (open_window && owner_thread != GetCurrentThreadId())) {
        pending_path = target;
        has_pending = true;
        if (open_window)
            PostMessageW(open_window, retarget_message, 0, 0);
        return S_OK;
    }
    if (open_window) {
        // This command is newer than one another thread left waiting.
        has_pending = false;
        pending_path.clear();
        lock.unlock();
        path = target;
        LoadTarget();
        return S_OK;
    }
    // Windows are made without the lock: creating one may wait on other
    // threads' windows, whose threads may be waiting here.
    creating = true;
    owner_thread = GetCurrentThreadId();
    lock.unlock();
    path = target;
    bool created = Create();
    lock.lock();
    creating = false;
    bool retarget = has_pending;
    if (!created) {
        has_pending = false;
        pending_path.clear();
        return E_FAIL;
    }
    lock.unlock();
    LoadTarget();
    if (retarget)
        PostMessageW(hwnd, retarget_message, 0, 0);
    return S_OK;
}

bool CWindowMain::Create() {
    HICON icon = LoadIconW(module_instance, MAKEINTRESOURCEW(IDI_APPLICATION_ICON));
    if (!RegisterWindowClass(EditorProc, reinterpret_cast<HBRUSH>(COLOR_MENU + 1), L"Quillarvent",
                             icon))
        return false;
    width = initial_width;
    // The first paint draws the marker button from icon_kind.
    ReadTarget();
    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, L"Quillarvent", L"", WS_OVERLAPPEDWINDOW,
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
    text_window.Create();
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
    if (button_theme)
        GetThemeMargins(button_theme, nullptr, 1, 0, content_margins, nullptr, &margins);
    width = (last.right - first.left) + 2 * (bar.left - frame.left);
    int height = (last.bottom - last.top) + (bar.top - frame.top) + margins.cyTopHeight +
                 margins.cyBottomHeight + 4;
    SetWindowPos(hwnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
    SendMessageW(toolbar, TB_AUTOSIZE, 0, 0);
    ShowWindow(toolbar, SW_SHOWNORMAL);
    return true;
}

void CWindowMain::LoadTarget() {
    if (!hwnd)
        return;
    SetWindowTextW(hwnd, file_name_of(path).c_str());
    ReadTarget();
    SetIconKind(icon_kind);
    const UINT keep = SWP_NOMOVE | SWP_NOSIZE;
    if (list_window.hwnd)
        SetWindowPos(list_window.hwnd, HWND_TOP, 0, 0, 0, 0, keep | SWP_NOACTIVATE);
    text_window.ShowText();
    SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, keep);
    if (text_window.hwnd)
        SetWindowPos(text_window.hwnd, HWND_TOP, 0, 0, 0, 0, keep | SWP_NOACTIVATE);
}

void CWindowMain::ReadTarget() {
    // A description that came with a copied file, in a host that asked no
    // overlay about it, is shown, and so never overwritten unseen.
    if (info_holder.lookup(path.c_str()) != CInfoHolder::entry_state::described &&
        fits_code_page(path.c_str())) {
        int32_t carried = read_icon_kind(path.c_str());
        if (carried != -1)
            info_holder.enter_described(path.c_str(), carried);
    }
    text.clear();
    has_description = info_holder.get_description(path.c_str(), text);
    icon_kind = valid_kind(info_holder.get_icon_kind(path.c_str()));
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

DWORD CWindowMain::Save() {
    // Without a text box there is nothing the user wrote.
    if (!text_window.edit)
        return ERROR_INVALID_WINDOW_HANDLE;
    // What the user saw when the command came: the warning below lets other
    // messages in, and they may point the editor at another item.
    std::wstring item = path;
    int kind = icon_kind;
    std::string typed = read_text(text_window.edit);
    if (cut_to_stored_length(typed))
        MessageBoxA(nullptr, truncation_warning, "Warning", MB_OK);
    return info_holder.add_description(item.c_str(), kind, typed.c_str());
}

DWORD CWindowMain::Remove() {
    std::wstring item = path;
    return info_holder.remove_description(item.c_str());
}

void CWindowMain::OnCommand(HWND window, WPARAM command) {
    if (busy_window.load() == window)
        return;
    ModuleHold hold;
    std::wstring item = path;
    switch (command) {
    case IDC_SAVE: {
        DWORD code;
        {
            BusyWindow busy(busy_window, window);
            code = Save();
            if (const char *error = save_error_text(code))
                show_error(error);
        }
        if (code == ERROR_SUCCESS || code == 1)
            SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, item.c_str(),
                           nullptr);
        if (code == ERROR_SUCCESS && IsWindow(window) && window == hwnd)
            list_window.ShowView();
        Finish(window);
        break;
    }
    case IDC_REMOVE: {
        DWORD code;
        {
            BusyWindow busy(busy_window, window);
            code = Remove();
            if (code != ERROR_SUCCESS)
                show_error(remove_error_text(code));
        }
        // A description that is still there keeps its editor open.
        if (code != ERROR_SUCCESS)
            break;
        SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, item.c_str(), nullptr);
        if (IsWindow(window) && window == hwnd)
            list_window.RecordRemoved(item);
        Finish(window);
        break;
    }
    case IDC_CLOSE:
        if (!browse_mode)
            DestroyWindow(window);
        break;
    case IDC_SELECT_ICON:
        if (INT_PTR chosen = run_icon_chooser(window))
            SetIconKind(static_cast<int>(chosen - IDC_KIND_FIRST));
        break;
    case IDC_SHOW_LIST:
        browse_mode = true;
        // Without a list nothing would clear it again, and the close
        // button would stay dead.
        if (!list_window.Create())
            browse_mode = false;
        text_window.Dock();
        break;
    }
}

void CWindowMain::Finish(HWND window) {
    // A window closed meanwhile took its editor state along; a newer
    // editor, perhaps on another thread, is not this command's to close.
    if (!IsWindow(window) || window != hwnd || browse_mode)
        return;
    DestroyWindow(window);
    if (is_shell_view(GetForegroundWindow()))
        press_refresh_key();
}

void CWindowMain::TakeRetarget() {
    std::wstring target;
    {
        std::lock_guard<std::mutex> lock(open_lock);
        if (!has_pending)
            return;
        target.swap(pending_path);
        has_pending = false;
    }
    path = target;
    LoadTarget();
}

void CWindowMain::Destroyed(HWND window) {
    std::lock_guard<std::mutex> lock(open_lock);
    if (hwnd == window) {
        hwnd = nullptr;
        initialized = false;
    }
    if (open_window == window)
        ForgetOpenWindowLocked();
}

void CWindowMain::ForgetOpenWindowLocked() {
    open_window = nullptr;
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
    busy_window = nullptr;
    browse_mode = false;
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
