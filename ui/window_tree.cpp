#include "ui/window_tree.h"

#include <shellapi.h>
#include <windowsx.h>

#include "module/module_start_up.h"
#include "module/settings.h"
#include "resources/resource.h"
#include "store/index_records.h"
#include "store/path_text.h"
#include "ui/bitmaps.h"
#include "ui/window_main.h"

namespace {

// A selected entry's description turned out to be gone: its row goes once
// the selection notice that found it is over. wParam is the slot, lParam
// the fill it belongs to.
const UINT drop_stale_message = WM_APP + 2;

// The product's site, which the version link opens.
const wchar_t product_site[] = L"https://quillarvent.example/";

const int dock_gap = 7;
const int dock_drop = 72;
const int folder_image = 6;
const int image_count = 7;

std::wstring site_host() {
    std::wstring host = product_site;
    size_t scheme = host.find(L"://");
    if (scheme != std::wstring::npos)
        host.erase(0, scheme + 3);
    return host.substr(0, host.find(L'/'));
}

// The UTF-16 form of a record's path, when it names an item by a full drive
// or share path. files.dat is writable by every user: a relative name would
// be looked up in the current folder and on the search path, a device or
// pipe name would be opened as the item.
bool item_path_of(const std::string &path, std::wstring &wide) {
    return wide_path_of(path, wide) && is_canonical_full_path(wide.c_str());
}

// The records the list shows: a record that names no item by a full path
// is not one of the user's descriptions.
std::vector<CInfoHolder::record_ptr> shown_records() {
    std::vector<CInfoHolder::record_ptr> shown;
    for (checked_record &entry : checked_records(info_holder, true))
        if (entry.use == record_use::usable)
            shown.push_back(std::move(entry.record));
    return shown;
}

int image_of(const CInfoHolder::record_ptr &record) {
    return record && record->icon_kind >= 0 && record->icon_kind <= 5 ? record->icon_kind
                                                                      : folder_image;
}

} // namespace

INT_PTR CALLBACK ListWindowProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    CWindowTree &self = editor.list_window;
    if (self.hwnd != dialog)
        return FALSE;
    // Nothing may unwind into the host's message loop.
    try {
        switch (message) {
        case WM_CLOSE:
            DestroyWindow(dialog);
            return TRUE;
        case WM_DESTROY:
            self.Destroyed();
            return FALSE;
        case WM_SIZE:
            self.Layout(LOWORD(lparam), HIWORD(lparam));
            return FALSE;
        case WM_NOTIFY:
            // A refill empties the list at once, without a notice per row.
            if (reinterpret_cast<const NMHDR *>(lparam)->code == LVN_DELETEALLITEMS) {
                SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
                return TRUE;
            }
            self.OnNotify(reinterpret_cast<const NMHDR *>(lparam));
            return FALSE;
        case drop_stale_message:
            if (static_cast<unsigned>(lparam) == self.fill_count)
                self.DropSlot(wparam);
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wparam)) {
            case IDC_VIEW_LIST:
            case IDC_VIEW_TREE:
                if (IsDlgButtonChecked(dialog, LOWORD(wparam)) == BST_CHECKED) {
                    self.tree_mode = LOWORD(wparam) == IDC_VIEW_TREE;
                    self.ShowView();
                }
                break;
            case IDC_FULL_CONTENT:
                set_full_search(IsDlgButtonChecked(dialog, IDC_FULL_CONTENT) == BST_CHECKED);
                break;
            case IDC_OPEN:
                self.OpenSelected(true);
                break;
            case IDC_OPEN_FOLDER:
                self.OpenSelected(false);
                break;
            }
            return FALSE;
        }
    } catch (...) {
    }
    return FALSE;
}

LRESULT CALLBACK ControlProc(HWND control, UINT message, WPARAM wparam, LPARAM lparam) {
    CWindowTree &self = editor.list_window;
    WNDPROC previous = control == self.list_view   ? self.list_view_proc
                       : control == self.tree_view ? self.tree_view_proc
                       : control == self.link      ? self.link_proc
                                                   : nullptr;
    if (!previous)
        return 0;
    try {
        if (control == self.link) {
            if (message == WM_PAINT) {
                LRESULT painted = CallWindowProcW(previous, control, message, wparam, lparam);
                if (HDC dc = GetDC(control)) {
                    std::wstring text = L"Check new version from " + site_host();
                    SetBkColor(dc, menu_colour);
                    HGDIOBJ old_font = SelectObject(dc, default_gui_font);
                    SetTextColor(dc, RGB(0, 0, 255));
                    TextOutW(dc, 0, 0, text.c_str(), static_cast<int>(text.size()));
                    SelectObject(dc, old_font);
                    ReleaseDC(control, dc);
                }
                return painted;
            }
            if (message == WM_SETCURSOR) {
                SetCursor(LoadCursorW(nullptr, IDC_HAND));
                return TRUE;
            }
            if (message == WM_LBUTTONDOWN)
                ShellExecuteW(nullptr, L"open", product_site, nullptr, nullptr, SW_SHOWNORMAL);
        } else {
            // The right click selects the entry under the pointer and shows
            // the menu for it; it does not go on to the control, whose own
            // handling would wait for a drag.
            if (message == WM_RBUTTONDOWN) {
                POINT at = {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
                if (self.SelectAt(control, at))
                    self.ShowContextMenu();
                return 0;
            }
            // Shift+F10 and the menu key: the menu for the selected entry.
            if (message == WM_CONTEXTMENU && GET_X_LPARAM(lparam) == -1 &&
                GET_Y_LPARAM(lparam) == -1) {
                self.ShowContextMenu();
                return 0;
            }
            if (message == WM_KEYDOWN && wparam == VK_RETURN)
                self.OpenSelected(true);
        }
    } catch (...) {
    }
    return CallWindowProcW(previous, control, message, wparam, lparam);
}

bool CWindowTree::Create() {
    if (hwnd)
        return true;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    HWND dialog = CreateDialogParamW(module_instance, MAKEINTRESOURCEW(IDD_LIST_WINDOW), nullptr,
                                     ListWindowProc, 0);
    if (!dialog)
        return false;
    hwnd = dialog;
    list_view = GetDlgItem(dialog, IDC_LIST_VIEW);
    tree_view = GetDlgItem(dialog, IDC_TREE_VIEW);
    link = GetDlgItem(dialog, IDC_VERSION_LINK);
    for (auto control :
         {std::make_pair(list_view, &list_view_proc), std::make_pair(tree_view, &tree_view_proc),
          std::make_pair(link, &link_proc)}) {
        *control.second = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(control.first, GWLP_WNDPROC));
        if (*control.second)
            SetWindowLongPtrW(control.first, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ControlProc));
    }
    SendMessageW(list_view, WM_SETFONT, reinterpret_cast<WPARAM>(default_gui_font), TRUE);
    Initialize();
    Dock();
    ShowView();
    return true;
}

void CWindowTree::Initialize() {
    CheckDlgButton(hwnd, IDC_FULL_CONTENT, is_full_search_on() ? BST_CHECKED : BST_UNCHECKED);
    initialized = true;
}

void CWindowTree::Dock() {
    if (!hwnd || !editor.hwnd)
        return;
    RECT owner, frame;
    GetWindowRect(editor.hwnd, &owner);
    GetWindowRect(hwnd, &frame);
    SetWindowPos(hwnd, nullptr, owner.left - dock_gap - (frame.right - frame.left),
                 owner.top + dock_drop, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    docked = true;
}

void CWindowTree::Layout(int width, int height) {
    const UINT keep = SWP_NOZORDER | SWP_NOACTIVATE;
    for (HWND view : {list_view, tree_view})
        SetWindowPos(view, nullptr, 0, 0, width, height - 103, keep | SWP_NOMOVE);
    SetWindowPos(link, nullptr, 20, height - 30, 0, 0, keep | SWP_NOSIZE);
    SetWindowPos(GetDlgItem(hwnd, IDC_FULL_CONTENT), nullptr, 20, height - 52, 0, 0,
                 keep | SWP_NOSIZE);
    SetWindowPos(GetDlgItem(hwnd, IDC_VIEW_GROUP), nullptr, 0, 0, width - 3, 35, keep | SWP_NOMOVE);
    // Moved controls leave their old places behind on the dialog: it is
    // painted again at once, and its controls after it.
    RedrawWindow(hwnd, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_ERASENOW | RDW_UPDATENOW);
    // Resized by its left edge, the window takes the editor along.
    if (docked && editor.hwnd) {
        RECT frame;
        GetWindowRect(hwnd, &frame);
        SetWindowPos(editor.hwnd, nullptr, frame.right + dock_gap, frame.top - dock_drop, 0, 0,
                     keep | SWP_NOSIZE);
    }
}

void CWindowTree::ShowView() {
    if (!hwnd)
        return;
    bool tree = tree_mode != 0;
    ShowWindow(list_view, tree ? SW_HIDE : SW_SHOW);
    ShowWindow(tree_view, tree ? SW_SHOW : SW_HIDE);
    CheckDlgButton(hwnd, IDC_VIEW_LIST, tree ? BST_UNCHECKED : BST_CHECKED);
    CheckDlgButton(hwnd, IDC_VIEW_TREE, tree ? BST_CHECKED : BST_UNCHECKED);
    if (tree)
        FillTree();
    else
        FillList();
}

void CWindowTree::EnsureImageList() {
    if (image_list)
        return;
    image_list = ImageList_Create(16, 16, ILC_COLOR24, image_count, 0);
    if (!image_list)
        return;
    for (int i = 0; i < image_count; ++i)
        if (HBITMAP bitmap = GetBitmap(IDB_KIND_SMALL + i, false))
            ImageList_Add(image_list, bitmap, nullptr);
}

void CWindowTree::FillList() {
    changing = true;
    ++fill_count;
    SendMessageW(list_view, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list_view, LVM_DELETEALLITEMS, 0, 0);
    SendMessageW(tree_view, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    tree_items.clear();
    shown_tree.reset();
    EnsureImageList();
    SendMessageW(list_view, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(image_list));
    std::vector<CInfoHolder::record_ptr> records = shown_records();
    slots.assign(1, CInfoHolder::record_ptr());
    slots.reserve(records.size() + 1);
    SendMessageW(list_view, LVM_SETITEMCOUNT, records.size(), 0);
    const unsigned code_page = GetACP();
    for (const auto &record : records) {
        size_t slash = last_backslash(record->path, code_page);
        std::string name =
            slash == std::string::npos ? record->path : record->path.substr(slash + 1);
        LVITEMA item = {};
        item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
        item.iItem = static_cast<int>(slots.size() - 1);
        item.pszText = &name[0];
        item.iImage = image_of(record);
        item.lParam = static_cast<LPARAM>(slots.size());
        slots.push_back(record);
        SendMessageA(list_view, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    SendMessageW(list_view, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list_view, nullptr, TRUE);
    changing = false;
}

void CWindowTree::FillTree() {
    changing = true;
    ++fill_count;
    SendMessageW(tree_view, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list_view, LVM_DELETEALLITEMS, 0, 0);
    SendMessageW(tree_view, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    slots.assign(1, CInfoHolder::record_ptr());
    tree_items.assign(1, nullptr);
    shown_tree = build_item_tree(shown_records());
    EnsureImageList();
    InsertChildren(*shown_tree, TVI_ROOT);
    SendMessageW(tree_view, WM_SETREDRAW, TRUE, 0);
    SendMessageW(tree_view, TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(image_list));
    InvalidateRect(tree_view, nullptr, TRUE);
    changing = false;
}

void CWindowTree::InsertChildren(const CInfoHolder::item_tree &node, HTREEITEM parent) {
    for (const auto &child : node.children) {
        TVINSERTSTRUCTA insert = {};
        insert.hParent = parent;
        insert.hInsertAfter = TVI_LAST;
        insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
        // The control copies the text and never writes to it.
        insert.item.pszText = const_cast<char *>(child->name.c_str());
        insert.item.iImage = insert.item.iSelectedImage = image_of(child->item);
        insert.item.lParam = child->item ? static_cast<LPARAM>(slots.size()) : 0;
        HTREEITEM added = reinterpret_cast<HTREEITEM>(
            SendMessageA(tree_view, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
        if (child->item) {
            slots.push_back(child->item);
            tree_items.push_back(added);
        }
        if (added)
            InsertChildren(*child, added);
    }
}

size_t CWindowTree::SelectedSlot() const {
    if (tree_items.empty()) {
        int row = static_cast<int>(SendMessageW(list_view, LVM_GETNEXTITEM, -1, LVNI_SELECTED));
        if (row < 0)
            return 0;
        LVITEMW item = {};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        SendMessageW(list_view, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
        return static_cast<size_t>(item.lParam);
    }
    TVITEMW item = {};
    item.mask = TVIF_PARAM;
    item.hItem =
        reinterpret_cast<HTREEITEM>(SendMessageW(tree_view, TVM_GETNEXTITEM, TVGN_CARET, 0));
    if (!item.hItem || !SendMessageW(tree_view, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)))
        return 0;
    return static_cast<size_t>(item.lParam);
}

void CWindowTree::OpenSelected(bool open) {
    size_t slot = SelectedSlot();
    if (slot == 0 || slot >= slots.size() || !slots[slot])
        return;
    std::string target = slots[slot]->path;
    if (!open) {
        size_t slash = last_backslash(target, GetACP());
        if (slash == std::string::npos)
            return;
        // A file in a drive's root: its folder is the root, not the
        // drive's current folder that "C:" would name.
        target.resize(slash == 2 && target[1] == ':' ? slash + 1 : slash);
    }
    std::wstring wide;
    if (!item_path_of(target, wide))
        return;
    ShellExecuteW(hwnd, open ? L"open" : L"explore", wide.c_str(), nullptr, nullptr, SW_SHOW);
}

void CWindowTree::ShowContextMenu() {
    HMENU menu = LoadMenuW(module_instance, MAKEINTRESOURCEW(IDM_LIST_MENU));
    if (!menu)
        return;
    POINT at;
    GetCursorPos(&at);
    TrackPopupMenu(GetSubMenu(menu, 0), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON, at.x, at.y,
                   0, hwnd, nullptr);
    DestroyMenu(menu);
}

void CWindowTree::OnNotify(const NMHDR *header) {
    if (changing || !header)
        return;
    if (header->idFrom == IDC_LIST_VIEW && header->code == LVN_ITEMCHANGED) {
        const NMLISTVIEW *change = reinterpret_cast<const NMLISTVIEW *>(header);
        const UINT chosen = LVIS_SELECTED | LVIS_FOCUSED;
        if (!(change->uChanged & LVIF_STATE) || (change->uNewState & chosen) != chosen ||
            (change->uOldState & chosen) == chosen)
            return;
        LVITEMW item = {};
        item.mask = LVIF_PARAM;
        item.iItem = change->iItem;
        if (SendMessageW(list_view, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)))
            OnSelect(static_cast<size_t>(item.lParam));
        return;
    }
    // The tree sends its notices in the form its parent asked for; both
    // forms have the fields read here at the same places.
    if (header->idFrom == IDC_TREE_VIEW &&
        (header->code == TVN_SELCHANGEDW || header->code == TVN_SELCHANGEDA)) {
        const NMTREEVIEWW *change = reinterpret_cast<const NMTREEVIEWW *>(header);
        if (change->action == TVC_BYMOUSE || change->action == TVC_BYKEYBOARD)
            OnSelect(static_cast<size_t>(change->itemNew.lParam));
    }
}

void CWindowTree::OnSelect(size_t slot) {
    if (slot == 0 || slot >= slots.size() || !slots[slot])
        return;
    std::wstring target;
    if (!item_path_of(slots[slot]->path, target))
        return;
    // Loading may show a message box, during which the list may be filled
    // anew: the slot then names another row.
    HWND window = hwnd;
    unsigned fill = fill_count;
    editor.path = target;
    editor.LoadTarget();
    // Only a description that is gone takes its row along; one that could
    // not be read now (a drive not there) keeps its record and its row.
    if (!editor.has_description && hwnd == window && fill_count == fill &&
        info_holder.lookup(target.c_str()) != CInfoHolder::entry_state::described)
        PostMessageW(hwnd, drop_stale_message, slot, fill);
}

bool CWindowTree::SelectAt(HWND control, POINT at) {
    if (control == list_view) {
        LVHITTESTINFO hit = {};
        hit.pt = at;
        int row = static_cast<int>(
            SendMessageW(list_view, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
        if (row < 0 || !(hit.flags & LVHT_ONITEM))
            return false;
        SetFocus(list_view);
        LVITEMW state = {};
        state.stateMask = state.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(list_view, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
        return true;
    }
    TVHITTESTINFO hit = {};
    hit.pt = at;
    HTREEITEM item = reinterpret_cast<HTREEITEM>(
        SendMessageW(tree_view, TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
    if (!item || !(hit.flags & TVHT_ONITEM))
        return false;
    SetFocus(tree_view);
    if (reinterpret_cast<HTREEITEM>(SendMessageW(tree_view, TVM_GETNEXTITEM, TVGN_CARET, 0)) !=
        item) {
        // The control reports this selection as its own; it is the user's.
        SendMessageW(tree_view, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
        TVITEMW chosen = {};
        chosen.mask = TVIF_PARAM;
        chosen.hItem = item;
        if (SendMessageW(tree_view, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&chosen)))
            OnSelect(static_cast<size_t>(chosen.lParam));
    }
    return true;
}

void CWindowTree::DropSlot(size_t slot) {
    if (slot == 0 || slot >= slots.size() || !slots[slot])
        return;
    slots[slot].reset();
    changing = true;
    if (tree_items.empty()) {
        LVFINDINFOW find = {};
        find.flags = LVFI_PARAM;
        find.lParam = static_cast<LPARAM>(slot);
        int row = static_cast<int>(
            SendMessageW(list_view, LVM_FINDITEMW, -1, reinterpret_cast<LPARAM>(&find)));
        if (row >= 0)
            SendMessageW(list_view, LVM_DELETEITEM, row, 0);
    } else if (HTREEITEM item = tree_items[slot]) {
        tree_items[slot] = nullptr;
        if (SendMessageW(tree_view, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item))) {
            // The described items below a folder stay.
            TVITEMW folder = {};
            folder.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
            folder.hItem = item;
            folder.iImage = folder.iSelectedImage = folder_image;
            SendMessageW(tree_view, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&folder));
        } else {
            SendMessageW(tree_view, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(item));
        }
    }
    changing = false;
}

void CWindowTree::RecordRemoved(const std::wstring &path) {
    std::string ansi;
    if (!hwnd || !ansi_path_of(path.c_str(), ansi))
        return;
    for (size_t slot = 1; slot < slots.size(); ++slot)
        if (slots[slot] && slots[slot]->path == ansi)
            DropSlot(slot);
}

void CWindowTree::Destroyed() {
    // The controls outlive this notice by a little: they get their own
    // procedures back for it.
    for (auto control :
         {std::make_pair(list_view, list_view_proc), std::make_pair(tree_view, tree_view_proc),
          std::make_pair(link, link_proc)})
        if (control.first && control.second && IsWindow(control.first))
            SetWindowLongPtrW(control.first, GWLP_WNDPROC,
                              reinterpret_cast<LONG_PTR>(control.second));
    hwnd = nullptr;
    initialized = false;
    list_view = tree_view = link = nullptr;
    list_view_proc = tree_view_proc = link_proc = nullptr;
    // Neither view destroys the image list: the list view shares it.
    if (image_list)
        ImageList_Destroy(image_list);
    image_list = nullptr;
    slots.clear();
    tree_items.clear();
    shown_tree.reset();
    docked = false;
    changing = false;
    editor.browse_mode = false;
    editor.text_window.Dock();
}
