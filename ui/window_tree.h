#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "store/info_holder.h"
#include "ui/window_base.h"

// The list of every described item, as a flat list or as a folder tree,
// docked to the left of the editor. Selecting an entry shows it in the
// editor.
//
// Every row and tree item acts on the record it was filled with (its slot
// in `slots`), whatever the index did since.
class CWindowTree : public CWindowBase {
  public:
    // Opens the window, unless it is open; false when it cannot be made.
    bool Create();
    // Places the window 7 pixels left of the editor.
    void Dock();
    // Shows and fills the list or the tree, as `tree_mode` says.
    void ShowView();
    // The editor removed the description of `path`: its entries go (a tree
    // node with items below it keeps its node and loses its record).
    void RecordRemoved(const std::wstring &path);
    // Forgets the window once it is destroyed.
    void Destroyed();
    void Initialize() override;

    HWND list_view = nullptr;
    WNDPROC list_view_proc = nullptr;
    HWND tree_view = nullptr;
    WNDPROC tree_view_proc = nullptr;
    HWND link = nullptr;
    WNDPROC link_proc = nullptr;
    HIMAGELIST image_list = nullptr;
    int tree_mode = 0;

  private:
    friend INT_PTR CALLBACK ListWindowProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
    friend LRESULT CALLBACK ControlProc(HWND control, UINT message, WPARAM wparam, LPARAM lparam);

    void Layout(int width, int height);
    void EnsureImageList();
    void FillList();
    void FillTree();
    void InsertChildren(const CInfoHolder::item_tree &node, HTREEITEM parent);
    // The slot of the selected row or tree item; 0 for none.
    size_t SelectedSlot() const;
    void OpenSelected(bool open);
    void ShowContextMenu();
    void OnSelect(size_t slot);
    // Selects the entry of `control` at the client point `at`, as the user
    // chose it; false when there is none.
    bool SelectAt(HWND control, POINT at);
    void DropSlot(size_t slot);
    void OnNotify(const NMHDR *header);

    // Slot n (from 1) holds the record of the entry whose item data is n;
    // slot 0 stands for no record.
    std::vector<CInfoHolder::record_ptr> slots;
    std::vector<HTREEITEM> tree_items; // slot by slot, in tree mode
    CInfoHolder::tree_ptr shown_tree;
    // The window itself changes the controls: their selection notices are
    // not the user's choice.
    bool changing = false;
    // Layout moves the editor only once the window has been docked.
    bool docked = false;
    unsigned fill_count = 0;
};
