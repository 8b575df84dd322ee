#include "ui/window_description.h"

#include <algorithm>
#include <string>

#include "module/module_start_up.h"
#include "resources/resource.h"
#include "store/path_text.h"
#include "ui/window_entry.h"

namespace {

const int dock_gap = 7;
const int least_height = 100;

CWindowDescription *shown_text;

INT_PTR CALLBACK TextWindowProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    WindowEntry entry;
    if (!shown_text)
        return FALSE;
    CWindowDescription &self = *shown_text;
    // Nothing may unwind into the host's message loop.
    try {
        switch (message) {
        case WM_ACTIVATE:
            // Brought forward from the keyboard, the pop-up brings the editor
            // along (its other owned windows stay above it); a click into the
            // text does not.
            if (wparam == WA_ACTIVE && self.hwnd == dialog && self.owner)
                SetWindowPos(self.owner, HWND_TOP, 0, 0, 0, 0,
                             SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
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

bool CWindowDescription::Create(HWND owner_window) {
    owner = owner_window;
    shown_text = this;
    // Owned by the editor: hidden with it when it is minimized.
    HWND dialog = CreateDialogParamW(module_instance, MAKEINTRESOURCEW(IDD_TEXT_WINDOW), owner,
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

void CWindowDescription::ShowText(const std::string &text, const std::wstring &name) {
    if (!hwnd)
        return;
    FitToText(text.c_str());
    SetWindowTextA(edit, text.c_str());
    if (!name.empty())
        SetWindowTextW(hwnd, name.c_str());
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
    RECT frame, area = work_area_of(owner ? owner : hwnd), over = {};
    GetWindowRect(hwnd, &frame);
    if (owner)
        GetWindowRect(owner, &over);
    int width = frame.right - frame.left, height = frame.bottom - frame.top;
    int new_width = width < wanted_width ? wanted_width : std::max(wanted_width, least_width);
    int new_height = height < wanted_height ? wanted_height : std::max(wanted_height, least_height);
    // Within the work area, under the editor: the box scrolls the rest.
    // Beside the list it starts at the editor's left edge.
    new_width = std::min<int>(new_width, centred ? area.right - area.left : area.right - over.left);
    int room = (area.bottom - area.top) - (over.bottom - over.top) - dock_gap;
    new_height = std::min(new_height, std::max(room, least_height));
    SetWindowPos(hwnd, nullptr, 0, 0, new_width, new_height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    SetWindowPos(edit, nullptr, 0, 0, new_width - dock_gap, new_height - dock_gap,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Dock();
    // The editor moves the whole group back into the work area if it left it.
    if (owner)
        SendMessageW(owner, group_resized_message, 0, 0);
    UpdateWindow(hwnd);
}

void CWindowDescription::Dock() {
    if (!hwnd || !owner || IsIconic(owner) || IsZoomed(owner))
        return;
    RECT over, frame;
    GetWindowRect(owner, &over);
    GetWindowRect(hwnd, &frame);
    int width = frame.right - frame.left, height = frame.bottom - frame.top;
    int x = over.left;
    if (centred && width > least_width)
        x -= (width - least_width) / 2;
    int new_width = std::max(width, least_width);
    // Beside the list it runs from the editor's left edge, no further than
    // the work area allows.
    if (!centred) {
        RECT area = work_area_of(owner);
        new_width = std::max(least_width, std::min<int>(new_width, area.right - x));
    }
    SetWindowPos(hwnd, HWND_TOP, x, over.bottom + dock_gap, new_width, height,
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
