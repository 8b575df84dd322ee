#include "ui/window_tree.h"

#include <shellapi.h>
#include <shlobj.h>
#include <windowsx.h>

#include <algorithm>

#include <boost/make_shared.hpp>

#include "module/module_start_up.h"
#include "module/settings.h"
#include "resources/resource.h"
#include "store/index_records.h"
#include "store/path_text.h"
#include "store/store_report.h"
#include "ui/bitmaps.h"
#include "ui/window_entry.h"

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
// Dialog units from the top of the find box to the top of the views.
const int find_row_units = 14;

// How an entry whose description is not on its item reads, in the list and
// in the tree alike.
const char kept_mark[] = " (description kept, item replaced)";

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

// The one list of the process (there is one editor to dock it to).
CWindowTree *shown_list;

// Keys the dialog's own handling gives to its controls: Tab everywhere,
// the arrows among the buttons. The list and the tree keep their arrows,
// and Enter, which opens their entry.
bool is_dialog_key(const MSG &message) {
    if (message.message != WM_KEYDOWN && message.message != WM_KEYUP)
        return false;
    if (message.wParam == VK_TAB)
        return true;
    if (message.wParam != VK_LEFT && message.wParam != VK_RIGHT && message.wParam != VK_UP &&
        message.wParam != VK_DOWN)
        return false;
    LRESULT code = SendMessageW(message.hwnd, WM_GETDLGCODE, message.wParam,
                                reinterpret_cast<LPARAM>(&message));
    return (code & (DLGC_BUTTON | DLGC_RADIOBUTTON)) && !(code & DLGC_WANTARROWS);
}

int image_of(const CInfoHolder::record_ptr &record) {
    return record && record->icon_kind >= 0 && record->icon_kind <= 5 ? record->icon_kind
                                                                      : folder_image;
}

} // namespace

LRESULT CALLBACK ListKeyboardHook(int code, WPARAM wparam, LPARAM lparam) {
    CWindowTree *self = shown_list;
    HHOOK hook = self ? self->keyboard_hook : nullptr;
    MSG *message = reinterpret_cast<MSG *>(lparam);
    if (code == HC_ACTION && wparam == PM_REMOVE && hook && self->hwnd && message &&
        message->hwnd && (message->hwnd == self->hwnd || IsChild(self->hwnd, message->hwnd)) &&
        is_dialog_key(*message) && IsDialogMessageW(self->hwnd, message)) {
        message->message = WM_NULL;
        message->wParam = message->lParam = 0;
    }
    return CallNextHookEx(hook, code, wparam, lparam);
}

INT_PTR CALLBACK ListWindowProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    WindowEntry entry;
    CWindowTree *self = shown_list;
    if (!self || self->hwnd != dialog)
        return FALSE;
    // Nothing may unwind into the host's message loop.
    try {
        switch (message) {
        case WM_CLOSE:
            // A menu or a box of the library may wait inside one of the
            // dialog's controls: they go once it is over.
            if (WindowEntry::outermost())
                DestroyWindow(dialog);
            else
                self->close_waiting = true;
            return TRUE;
        case WM_DESTROY:
            self->Destroyed();
            return FALSE;
        case WM_SIZE:
            self->Layout(LOWORD(lparam), HIWORD(lparam));
            return FALSE;
        case WM_GETMINMAXINFO:
            self->LimitSize(*reinterpret_cast<MINMAXINFO *>(lparam));
            return FALSE;
        case WM_NOTIFY:
            // A refill empties the list at once, without a notice per row.
            if (reinterpret_cast<const NMHDR *>(lparam)->code == LVN_DELETEALLITEMS) {
                SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
                return TRUE;
            }
            self->OnNotify(reinterpret_cast<const NMHDR *>(lparam));
            return FALSE;
        case drop_stale_message:
            if (static_cast<unsigned>(lparam) != self->fill_count)
                return TRUE;
            if (WindowEntry::outermost())
                self->DropSlot(wparam);
            else
                self->waiting_drops.emplace_back(wparam, static_cast<unsigned>(lparam));
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wparam)) {
            case IDC_VIEW_LIST:
            case IDC_VIEW_TREE:
                if (IsDlgButtonChecked(dialog, LOWORD(wparam)) == BST_CHECKED) {
                    self->tree_mode = LOWORD(wparam) == IDC_VIEW_TREE;
                    self->ShowView();
                }
                break;
            case IDC_FULL_CONTENT:
                set_full_search(IsDlgButtonChecked(dialog, IDC_FULL_CONTENT) == BST_CHECKED);
                break;
            case IDC_FIND:
                if (HIWORD(wparam) == EN_CHANGE)
                    self->FindChanged();
                break;
            }
            return FALSE;
        }
    } catch (...) {
    }
    return FALSE;
}

LRESULT CALLBACK ControlProc(HWND control, UINT message, WPARAM wparam, LPARAM lparam) {
    WindowEntry entry;
    CWindowTree *self = shown_list;
    WNDPROC previous = !self                        ? nullptr
                       : control == self->list_view ? self->list_view_proc
                       : control == self->tree_view ? self->tree_view_proc
                       : control == self->link      ? self->link_proc
                       : control == self->find_box  ? self->find_box_proc
                                                    : nullptr;
    if (!previous)
        return DefWindowProcW(control, message, wparam, lparam);
    try {
        if (control == self->link) {
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
        } else if (control == self->find_box) {
            // Escape empties the box, and everything shows again; the box
            // itself would only beep at it.
            if (message == WM_KEYDOWN && wparam == VK_ESCAPE) {
                if (GetWindowTextLengthW(control) > 0)
                    SetWindowTextW(control, L"");
                return 0;
            }
            if (message == WM_CHAR && wparam == VK_ESCAPE)
                return 0;
        } else {
            // The right click selects the entry under the pointer and shows
            // the menu for it; it does not go on to the control, whose own
            // handling would wait for a drag.
            if (message == WM_RBUTTONDOWN) {
                POINT at = {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
                if (size_t slot = self->SelectAt(control, at))
                    self->ShowContextMenu(slot);
                return 0;
            }
            // Shift+F10 and the menu key: the menu for the selected entry.
            if (message == WM_CONTEXTMENU && GET_X_LPARAM(lparam) == -1 &&
                GET_Y_LPARAM(lparam) == -1) {
                if (size_t slot = self->SelectedSlot())
                    self->ShowContextMenu(slot);
                return 0;
            }
            // Enter held down opens the entry once, not once per repeat.
            if (message == WM_KEYDOWN && wparam == VK_RETURN && !(lparam & (1 << 30)))
                self->OpenSlot(self->SelectedSlot(), true);
        }
    } catch (...) {
    }
    return CallWindowProcW(previous, control, message, wparam, lparam);
}

bool CWindowTree::Create(list_owner *new_owner) {
    if (hwnd)
        return true;
    if (!new_owner || !new_owner->dock_window())
        return false;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    owner = new_owner;
    shown_list = this;
    // Owned by the editor: it goes with it when the editor is minimized.
    HWND dialog = CreateDialogParamW(module_instance, MAKEINTRESOURCEW(IDD_LIST_WINDOW),
                                     owner->dock_window(), ListWindowProc, 0);
    if (!dialog)
        return false;
    hwnd = dialog;
    list_view = GetDlgItem(dialog, IDC_LIST_VIEW);
    tree_view = GetDlgItem(dialog, IDC_TREE_VIEW);
    link = GetDlgItem(dialog, IDC_VERSION_LINK);
    find_box = GetDlgItem(dialog, IDC_FIND);
    query.reset(new text_query());
    query_possible = true;
    RECT row = {0, 0, 0, find_row_units};
    MapDialogRect(dialog, &row);
    find_row = row.bottom;
    for (auto control :
         {std::make_pair(list_view, &list_view_proc), std::make_pair(tree_view, &tree_view_proc),
          std::make_pair(link, &link_proc), std::make_pair(find_box, &find_box_proc)}) {
        *control.second = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(control.first, GWLP_WNDPROC));
        if (*control.second)
            SetWindowLongPtrW(control.first, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ControlProc));
    }
    keyboard_hook =
        SetWindowsHookExW(WH_GETMESSAGE, ListKeyboardHook, nullptr, GetCurrentThreadId());
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
    HWND beside = owner ? owner->dock_window() : nullptr;
    if (!hwnd || !beside || IsIconic(beside) || IsZoomed(beside))
        return;
    RECT frame = {}, area = work_area_of(beside), docked_to;
    GetWindowRect(beside, &docked_to);
    GetWindowRect(hwnd, &frame);
    // Never taller than the screen's work area: the list scrolls within.
    int height = std::min<int>(frame.bottom - frame.top, area.bottom - area.top - dock_drop);
    SetWindowPos(hwnd, nullptr, docked_to.left - dock_gap - (frame.right - frame.left),
                 docked_to.top + dock_drop, frame.right - frame.left, height,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    docked = true;
}

void CWindowTree::Layout(int width, int height) {
    const UINT keep = SWP_NOZORDER | SWP_NOACTIVATE;
    for (HWND view : {list_view, tree_view})
        SetWindowPos(view, nullptr, 0, 0, width, height - 103 - find_row, keep | SWP_NOMOVE);
    RECT box;
    GetWindowRect(find_box, &box);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT *>(&box), 2);
    SetWindowPos(find_box, nullptr, 0, 0, width - box.left, box.bottom - box.top,
                 keep | SWP_NOMOVE);
    SetWindowPos(link, nullptr, 20, height - 30, 0, 0, keep | SWP_NOSIZE);
    SetWindowPos(GetDlgItem(hwnd, IDC_FULL_CONTENT), nullptr, 20, height - 52, 0, 0,
                 keep | SWP_NOSIZE);
    SetWindowPos(GetDlgItem(hwnd, IDC_VIEW_GROUP), nullptr, 0, 0, width - 3, 35, keep | SWP_NOMOVE);
    // Moved controls leave their old places behind on the dialog: it is
    // painted again at once, and its controls after it.
    RedrawWindow(hwnd, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_ERASENOW | RDW_UPDATENOW);
    // Resized by its left edge, the window takes its owner along.
    HWND beside = owner ? owner->dock_window() : nullptr;
    if (docked && beside) {
        RECT frame;
        GetWindowRect(hwnd, &frame);
        SetWindowPos(beside, nullptr, frame.right + dock_gap, frame.top - dock_drop, 0, 0,
                     keep | SWP_NOSIZE);
        SendMessageW(beside, group_resized_message, 0, 0);
    }
}

void CWindowTree::LimitSize(MINMAXINFO &limits) const {
    HWND beside = owner ? owner->dock_window() : nullptr;
    if (!beside)
        return;
    // The editor beside it stays on the screen.
    RECT area = work_area_of(beside), docked_to;
    GetWindowRect(beside, &docked_to);
    LONG widest = (area.right - area.left) - (docked_to.right - docked_to.left) - dock_gap;
    LONG tallest = (area.bottom - area.top) - dock_drop;
    limits.ptMaxTrackSize.x =
        std::max(limits.ptMinTrackSize.x, std::min(limits.ptMaxTrackSize.x, widest));
    limits.ptMaxTrackSize.y =
        std::max(limits.ptMinTrackSize.y, std::min(limits.ptMaxTrackSize.y, tallest));
}

void CWindowTree::ShowView() {
    if (!hwnd)
        return;
    bool tree = tree_mode != 0;
    ShowWindow(list_view, tree ? SW_HIDE : SW_SHOW);
    ShowWindow(tree_view, tree ? SW_SHOW : SW_HIDE);
    CheckDlgButton(hwnd, IDC_VIEW_LIST, tree ? BST_UNCHECKED : BST_CHECKED);
    CheckDlgButton(hwnd, IDC_VIEW_TREE, tree ? BST_CHECKED : BST_UNCHECKED);
    LoadEntries();
    FillView();
}

void CWindowTree::FillView() {
    // An empty box needs no description: most fills never read them.
    if (query && !query->empty())
        ReadTexts();
    if (tree_mode)
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

void CWindowTree::LoadEntries() {
    ++fill_count;
    std::vector<CInfoHolder::record_ptr> records = shown_records();
    std::vector<found_item> replaced = kept_not_attached(false);
    slots.assign(1, entry());
    slot_of_record.clear();
    texts_read = false;
    slots.reserve(records.size() + replaced.size() + 1);
    const unsigned code_page = GetACP();
    auto add = [&](CInfoHolder::record_ptr record, std::string text, bool kept) {
        size_t slash = last_backslash(record->path, code_page);
        std::string name =
            slash == std::string::npos ? record->path : record->path.substr(slash + 1);
        if (kept)
            name += kept_mark;
        slots.push_back({std::move(record), std::move(name), std::move(text), kept});
    };
    for (CInfoHolder::record_ptr &record : records)
        add(std::move(record), std::string(), false);
    for (found_item &item : replaced) {
        // The keep file is this user's own, but a path in it is opened like
        // any other: only in its plain full spelling.
        auto record = boost::make_shared<const item_info>(item.icon_kind, item.path.c_str());
        if (!record->path.empty() && is_canonical_full_path(item.path.c_str()))
            add(std::move(record), std::move(item.text), true);
    }
}

void CWindowTree::ReadTexts() {
    if (texts_read)
        return;
    texts_read = true;
    std::vector<CInfoHolder::record_ptr> records;
    std::vector<size_t> indexed;
    for (size_t slot = 1; slot < slots.size(); ++slot)
        if (!slots[slot].kept) {
            records.push_back(slots[slot].record);
            indexed.push_back(slot);
        }
    std::vector<std::string> texts = kept_texts_of(records);
    for (size_t i = 0; i < texts.size() && i < indexed.size(); ++i)
        slots[indexed[i]].text = std::move(texts[i]);
}

std::vector<size_t> CWindowTree::Matching() const {
    std::vector<size_t> shown;
    if (!query_possible)
        return shown;
    shown.reserve(slots.size());
    bool everything = !query || query->empty();
    for (size_t slot = 1; slot < slots.size(); ++slot)
        if (slots[slot].record &&
            (everything || query->matches(slots[slot].record->path, slots[slot].text)))
            shown.push_back(slot);
    return shown;
}

void CWindowTree::FindChanged() {
    if (!query)
        return;
    std::wstring typed(static_cast<size_t>(GetWindowTextLengthW(find_box)) + 1, L'\0');
    typed.resize(
        static_cast<size_t>(GetWindowTextW(find_box, &typed[0], static_cast<int>(typed.size()))));
    // Text the system code page cannot hold is in no stored path or
    // description.
    query_possible = query->set(typed.c_str());
    FillView();
}

void CWindowTree::FillList() {
    changing = true;
    SendMessageW(list_view, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list_view, LVM_DELETEALLITEMS, 0, 0);
    SendMessageW(tree_view, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    tree_items.clear();
    shown_tree.reset();
    EnsureImageList();
    SendMessageW(list_view, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(image_list));
    std::vector<size_t> shown = Matching();
    SendMessageW(list_view, LVM_SETITEMCOUNT, shown.size(), 0);
    int row = 0;
    for (size_t slot : shown) {
        LVITEMA item = {};
        item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
        item.iItem = row++;
        // The control copies the text and never writes to it.
        item.pszText = const_cast<char *>(slots[slot].name.c_str());
        item.iImage = image_of(slots[slot].record);
        item.lParam = static_cast<LPARAM>(slot);
        SendMessageA(list_view, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    SendMessageW(list_view, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list_view, nullptr, TRUE);
    changing = false;
}

void CWindowTree::FillTree() {
    changing = true;
    SendMessageW(tree_view, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list_view, LVM_DELETEALLITEMS, 0, 0);
    SendMessageW(tree_view, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    std::vector<size_t> shown = Matching();
    std::vector<CInfoHolder::record_ptr> records;
    records.reserve(shown.size());
    for (size_t slot : shown)
        records.push_back(slots[slot].record);
    tree_items.assign(slots.size(), nullptr);
    shown_tree = build_item_tree(records);
    // A tree node names its record; the slot holding it is found by it.
    // Sorted once per load, with no allocation per entry.
    if (slot_of_record.empty()) {
        slot_of_record.reserve(slots.size());
        for (size_t slot = 1; slot < slots.size(); ++slot)
            if (slots[slot].record)
                slot_of_record.emplace_back(slots[slot].record.get(), slot);
        std::sort(slot_of_record.begin(), slot_of_record.end());
    }
    EnsureImageList();
    InsertChildren(*shown_tree, TVI_ROOT);
    SendMessageW(tree_view, WM_SETREDRAW, TRUE, 0);
    SendMessageW(tree_view, TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(image_list));
    InvalidateRect(tree_view, nullptr, TRUE);
    changing = false;
}

void CWindowTree::InsertChildren(const CInfoHolder::item_tree &node, HTREEITEM parent) {
    // The user who typed wants to see what matched.
    const bool expanded = query && !query->empty();
    for (const auto &child : node.children) {
        size_t slot = 0;
        if (child->item) {
            auto found = std::lower_bound(slot_of_record.begin(), slot_of_record.end(),
                                          std::make_pair(child->item.get(), size_t(0)));
            if (found != slot_of_record.end() && found->first == child->item.get())
                slot = found->second;
        }
        std::string marked;
        if (slots[slot].kept)
            marked = child->name + kept_mark;
        TVINSERTSTRUCTA insert = {};
        insert.hParent = parent;
        insert.hInsertAfter = TVI_LAST;
        insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM | TVIF_STATE;
        // The control copies the text and never writes to it.
        insert.item.pszText =
            const_cast<char *>(marked.empty() ? child->name.c_str() : marked.c_str());
        insert.item.iImage = insert.item.iSelectedImage = image_of(child->item);
        insert.item.lParam = static_cast<LPARAM>(slot);
        insert.item.stateMask = TVIS_EXPANDED;
        insert.item.state = expanded && !child->children.empty() ? TVIS_EXPANDED : 0;
        HTREEITEM added = reinterpret_cast<HTREEITEM>(
            SendMessageA(tree_view, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
        if (slot)
            tree_items[slot] = added;
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

void CWindowTree::OpenSlot(size_t slot, bool open) {
    if (slot == 0 || slot >= slots.size() || !slots[slot].record)
        return;
    std::string target = slots[slot].record->path;
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

void CWindowTree::ShowContextMenu(size_t slot) {
    HMENU menu = LoadMenuW(module_instance, MAKEINTRESOURCEW(IDM_LIST_MENU));
    if (!menu)
        return;
    POINT at;
    GetCursorPos(&at);
    // The command comes back here rather than to the dialog: by the time it
    // would arrive, the selection may have moved on to another entry.
    unsigned fill = fill_count;
    bool kept = slot < slots.size() && slots[slot].kept;
    UINT command = TrackPopupMenu(GetSubMenu(menu, kept ? 1 : 0),
                                  TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON | TPM_RETURNCMD,
                                  at.x, at.y, 0, hwnd, nullptr);
    DestroyMenu(menu);
    if (!hwnd || fill != fill_count)
        return;
    if (command == IDC_OPEN || command == IDC_OPEN_FOLDER)
        OpenSlot(slot, command == IDC_OPEN);
    else if (command == IDC_ATTACH_KEPT)
        AttachKept(slot);
}

void CWindowTree::AttachKept(size_t slot) {
    std::wstring target;
    if (slot == 0 || slot >= slots.size() || !slots[slot].record || !slots[slot].kept ||
        !item_path_of(slots[slot].record->path, target))
        return;
    // The user chose the item now under the name: it takes the description
    // whatever file it is.
    CInfoHolder::recovery result = info_holder.recover_description(target.c_str(), true);
    if (result == CInfoHolder::recovery::recovered)
        SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_PATHW | SHCNF_FLUSHNOWAIT, target.c_str(), nullptr);
    else
        // Told as the store's own messages are: in a box of the editor.
        store_report("Error", result == CInfoHolder::recovery::nothing_kept
                                  ? "The description could not be attached: the item is gone, "
                                    "or its description is no longer kept."
                                  : "The kept description could not be written to the item.");
    // Attached, the entry is an indexed one; failed, it may have gone.
    if (hwnd)
        ShowView();
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
    // A kept description is not on the item now there: the editor would
    // show that item as undescribed and the entry would go.
    if (!owner || slot == 0 || slot >= slots.size() || !slots[slot].record || slots[slot].kept)
        return;
    std::wstring target;
    if (!item_path_of(slots[slot].record->path, target))
        return;
    // Loading may show a message box, during which the list may be filled
    // anew: the slot then names another row.
    HWND window = hwnd;
    unsigned fill = fill_count;
    bool described = owner->ShowPicked(target);
    // Only a description that is gone takes its row along; one that could
    // not be read now (a drive not there) keeps its record and its row.
    if (!described && hwnd == window && fill_count == fill &&
        info_holder.lookup(target.c_str()) != CInfoHolder::entry_state::described)
        PostMessageW(hwnd, drop_stale_message, slot, fill);
}

size_t CWindowTree::SelectAt(HWND control, POINT at) {
    if (control == list_view) {
        LVHITTESTINFO hit = {};
        hit.pt = at;
        int row = static_cast<int>(
            SendMessageW(list_view, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
        if (row < 0 || !(hit.flags & LVHT_ONITEM))
            return 0;
        SetFocus(list_view);
        LVITEMW state = {};
        state.stateMask = state.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(list_view, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
        LVITEMW chosen = {};
        chosen.mask = LVIF_PARAM;
        chosen.iItem = row;
        if (!SendMessageW(list_view, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&chosen)))
            return 0;
        return static_cast<size_t>(chosen.lParam);
    }
    TVHITTESTINFO hit = {};
    hit.pt = at;
    HTREEITEM item = reinterpret_cast<HTREEITEM>(
        SendMessageW(tree_view, TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
    if (!item || !(hit.flags & TVHT_ONITEM))
        return 0;
    SetFocus(tree_view);
    TVITEMW chosen = {};
    chosen.mask = TVIF_PARAM;
    chosen.hItem = item;
    if (!SendMessageW(tree_view, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&chosen)))
        return 0;
    size_t slot = static_cast<size_t>(chosen.lParam);
    if (reinterpret_cast<HTREEITEM>(SendMessageW(tree_view, TVM_GETNEXTITEM, TVGN_CARET, 0)) !=
        item) {
        // The control reports this selection as its own; it is the user's.
        changing = true;
        SendMessageW(tree_view, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
        changing = false;
        OnSelect(slot);
    }
    return slot;
}

void CWindowTree::DropSlot(size_t slot) {
    if (slot == 0 || slot >= slots.size() || !slots[slot].record)
        return;
    slots[slot].record.reset();
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
        if (slots[slot].record && slots[slot].record->path == ansi)
            DropSlot(slot);
}

void CWindowTree::ClearSelection() {
    if (!hwnd)
        return;
    changing = true;
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    SendMessageW(list_view, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(&state));
    SendMessageW(tree_view, TVM_SELECTITEM, TVGN_CARET, 0);
    changing = false;
}

void CWindowTree::AfterCalls() {
    if (!hwnd)
        return;
    for (const auto &drop : waiting_drops)
        PostMessageW(hwnd, drop_stale_message, drop.first, drop.second);
    waiting_drops.clear();
    if (close_waiting) {
        close_waiting = false;
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
    }
}

void CWindowTree::Destroyed() {
    if (keyboard_hook) {
        UnhookWindowsHookEx(keyboard_hook);
        keyboard_hook = nullptr;
    }
    // The controls outlive this notice by a little: they get their own
    // procedures back for it.
    for (auto control :
         {std::make_pair(list_view, list_view_proc), std::make_pair(tree_view, tree_view_proc),
          std::make_pair(link, link_proc), std::make_pair(find_box, find_box_proc)})
        if (control.first && control.second && IsWindow(control.first))
            SetWindowLongPtrW(control.first, GWLP_WNDPROC,
                              reinterpret_cast<LONG_PTR>(control.second));
    hwnd = nullptr;
    initialized = false;
    list_view = tree_view = link = find_box = nullptr;
    list_view_proc = tree_view_proc = link_proc = find_box_proc = nullptr;
    // Neither view destroys the image list: the list view shares it.
    if (image_list)
        ImageList_Destroy(image_list);
    image_list = nullptr;
    slots.clear();
    slot_of_record.clear();
    tree_items.clear();
    shown_tree.reset();
    query.reset();
    query_possible = true;
    waiting_drops.clear();
    docked = false;
    changing = false;
    close_waiting = false;
    list_owner *was = owner;
    owner = nullptr;
    if (was)
        was->ListClosed();
}
