#include "ui/window_description.h"

#include <algorithm>
#include <string>

#include "module/module_start_up.h"
#include "resources/resource.h"
#include "store/path_text.h"
#include "ui/window_main.h"

namespace {

const int dock_gap = 7;
const int least_height = 100;

INT_PTR CALLBACK TextWindowProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    CWindowDescription &self = editor.text_window;
    // Nothing may unwind into the host's message loop.
    try {
        switch (message) {
        case WM_ACTIVATE:
            // Brought forward from the keyboard, the pop-up brings the editor
            // along; a click into the text does not.
            if (wparam == WA_ACTIVE) {
                for (HWND window : {editor.list_window.hwnd, editor.hwnd})
                    if (window)
                        SetWindowPos(window, HWND_TOP, 0, 0, 0, 0,
                                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            }
            return FALSE;
        case WM_COMMAND:
            // Enter and Escape arrive here as commands too; the pop-up never
            // closes on its own.
            if (HIWORD(wparam) == EN_CHANGE && self.hwnd == dialog)
                self.FitToText(nullptr);
            return TRUE;
        case WM_DESTROY:
            if (self.hwnd == dialog)
                self.Destroyed();
            return FALSE;
        }
    } catch (...) {
    }
    return FALSE;
}

} // namespace

bool CWindowDescription::Create() {
    HWND dialog = CreateDialogParamW(module_instance, MAKEINTRESOURCEW(IDD_TEXT_WINDOW), nullptr,
                                     TextWindowProc, 0);
    if (!dialog)
        return false;
    hwnd = dialog;
    edit = GetDlgItem(dialog, IDC_TEXT);
    SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(default_gui_font), TRUE);
    ShowWindow(dialog, SW_SHOW);
    ShowWindow(edit, SW_SHOW);
    UpdateWindow(dialog);
    HANDLE icon =
        LoadImageW(module_instance, MAKEINTRESOURCEW(IDI_APPLICATION_ICON), IMAGE_ICON,
                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_SHARED);
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    return true;
}

void CWindowDescription::ShowText() {
    if (!hwnd)
        return;
    FitToText(editor.text.c_str());
    SetWindowTextA(edit, editor.text.c_str());
    if (!editor.path.empty())
        SetWindowTextW(hwnd, file_name_of(editor.path).c_str());
}

void CWindowDescription::FitToText(const char *text) {
    if (!hwnd || !edit)
        return;
    std::string own;
    if (!text) {
        char buffer[2048];
        int length = GetWindowTextA(edit, buffer, sizeof buffer);
        own.assign(buffer, length > 0 ? length : 0);
        text = own.c_str();
    }
    HDC edit_dc = GetDC(edit);
    if (!edit_dc)
        return;
    HDC measure_dc = CreateCompatibleDC(edit_dc);
    if (!measure_dc) {
        ReleaseDC(edit, edit_dc);
        return;
    }
    HGDIOBJ old_font = SelectObject(measure_dc, default_gui_font);
    RECT measured = {0, 0, 0, 0};
    DrawTextA(measure_dc, text, -1, &measured, DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS);
    SelectObject(measure_dc, old_font);
    DeleteDC(measure_dc);
    ReleaseDC(edit, edit_dc);

    int wanted_width = measured.right - measured.left + 20;
    int wanted_height = measured.bottom - measured.top + 30;
    RECT frame;
    GetWindowRect(hwnd, &frame);
    int width = frame.right - frame.left, height = frame.bottom - frame.top;
    int new_width = width < wanted_width ? wanted_width : std::max(wanted_width, editor.width);
    int new_height = height < wanted_height ? wanted_height : std::max(wanted_height, least_height);
    SetWindowPos(hwnd, nullptr, 0, 0, new_width, new_height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    SetWindowPos(edit, nullptr, 0, 0, new_width - dock_gap, new_height - dock_gap,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Dock();
    UpdateWindow(hwnd);
}

void CWindowDescription::Dock() {
    if (!hwnd || !editor.hwnd)
        return;
    RECT owner, frame;
    GetWindowRect(editor.hwnd, &owner);
    GetWindowRect(hwnd, &frame);
    int width = frame.right - frame.left, height = frame.bottom - frame.top;
    int x = owner.left;
    if (!editor.browse_mode && width > editor.width)
        x -= (width - editor.width) / 2;
    int new_width = std::max(width, editor.width);
    SetWindowPos(hwnd, HWND_TOP, x, owner.bottom + dock_gap, new_width, height,
                 SWP_NOACTIVATE | SWP_FRAMECHANGED);
    if (new_width != width && edit) {
        RECT box;
        GetWindowRect(edit, &box);
        SetWindowPos(edit, nullptr, 0, 0, new_width - dock_gap, box.bottom - box.top,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void CWindowDescription::Destroyed() {
    hwnd = nullptr;
    edit = nullptr;
}
