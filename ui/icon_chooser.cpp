#include "ui/icon_chooser.h"

#include <uxtheme.h>

#include "module/module_start_up.h"
#include "resources/resource.h"
#include "ui/bitmaps.h"
#include "ui/window_entry.h"

namespace {

const int kind_count = 6;
const int content_margins = 3602;

// Each opening is laid out anew on its first paint.
bool chooser_laid_out;

void lay_out(HWND dialog) {
    RECT first, last, frame;
    GetWindowRect(GetDlgItem(dialog, IDC_KIND_FIRST), &first);
    GetWindowRect(GetDlgItem(dialog, IDC_KIND_FIRST + kind_count - 1), &last);
    GetWindowRect(dialog, &frame);
    MARGINS margins = {0, 0, 2, 2};
    if (HTHEME theme = button_theme())
        GetThemeMargins(theme, nullptr, 1, 0, content_margins, &frame, &margins);
    int width = (last.right - first.left) + 2 * (first.left - frame.left);
    int height = (last.bottom - frame.top) + margins.cyTopHeight + margins.cyBottomHeight;
    SetWindowPos(dialog, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
    for (int kind = 0; kind < kind_count; ++kind)
        SendDlgItemMessageW(dialog, IDC_KIND_FIRST + kind, BM_SETIMAGE, IMAGE_BITMAP,
                            reinterpret_cast<LPARAM>(GetBitmap(IDB_KIND_LARGE + kind, true)));
    chooser_laid_out = true;
}

void end_chooser(HWND dialog, INT_PTR result) {
    chooser_laid_out = false;
    EndDialog(dialog, result);
}

INT_PTR CALLBACK IconChooserProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    WindowEntry entry;
    switch (message) {
    case WM_PAINT:
        if (!chooser_laid_out)
            lay_out(dialog);
        return FALSE;
    case WM_COMMAND:
        if (wparam >= IDC_KIND_FIRST && wparam < IDC_KIND_FIRST + kind_count) {
            end_chooser(dialog, static_cast<INT_PTR>(wparam));
            return TRUE;
        }
        // Escape, like the close box, leaves the choice as it was.
        if (wparam == IDCANCEL) {
            end_chooser(dialog, 0);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        end_chooser(dialog, 0);
        return TRUE;
    }
    return FALSE;
}

} // namespace

INT_PTR run_icon_chooser(HWND owner) {
    chooser_laid_out = false;
    INT_PTR result = DialogBoxParamW(module_instance, MAKEINTRESOURCEW(IDD_ICON_CHOOSER), owner,
                                     IconChooserProc, 0);
    return result >= IDC_KIND_FIRST && result < IDC_KIND_FIRST + kind_count ? result : 0;
}
