#pragma once

#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "store/description_search.h"
#include "store/info_holder.h"
#include "ui/window_base.h"

// What the list asks of the window it is docked to.
class list_owner {
  public:
    // The window the list docks beside and is owned by.
    virtual HWND dock_window() const = 0;
    // The user picked `path`: the owner shows it. False when the item
    // turned out to have no description.
    virtual bool ShowPicked(const std::wstring &path) = 0;
    // The list window is being destroyed.
    virtual void ListClosed() = 0;

  protected:
    ~list_owner() = default;
};

// The list of every described item, as a flat list or as a folder tree,
// docked to the left of its owner. Selecting an entry shows it there.
//
// Every row and tree item acts on the record it was filled with (its slot
// in `slots`), whatever the index did since. The find box narrows both views
// to the entries whose path or kept description holds every word typed.
class CWindowTree : public CWindowBase {
  public:
    // Opens the window for `owner`, unless it is open; false when it
    // cannot be made.
    bool Create(list_owner *owner);
    // Places the window 7 pixels left of the owner.
    void Dock();
    // Shows and fills the list or the tree, as `tree_mode` says.
    void ShowView();
    // The owner removed the description of `path`: its entries go (a tree
    // node with items below it keeps its node and loses its record).
    void RecordRemoved(const std::wstring &path);
    // The owner shows an item the list did not pick: no entry stays
    // selected, so a click on any entry picks it.
    void ClearSelection();
    // Posts what was put off while other code of the library waited.
    void AfterCalls();
    // Forgets the window once it is destroyed.
    void Destroyed();
    void Initialize() override;

    HWND list_view = nullptr;
    WNDPROC list_view_proc = nullptr;
    HWND tree_view = nullptr;
    WNDPROC tree_view_proc = nullptr;
    HWND link = nullptr;
    WNDPROC link_proc = nullptr;
    HWND find_box = nullptr;
    WNDPROC find_box_proc = nullptr;
    HIMAGELIST image_list = nullptr;
    int tree_mode = 0;

  private:
    friend INT_PTR CALLBACK ListWindowProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
    friend LRESULT CALLBACK ControlProc(HWND control, UINT message, WPARAM wparam, LPARAM lparam);
    friend LRESULT CALLBACK ListKeyboardHook(int code, WPARAM wparam, LPARAM lparam);

    void Layout(int width, int height);
    // No wider or taller than leaves its owner room in the work area.
    void LimitSize(MINMAXINFO &limits) const;
    void EnsureImageList();
    // Reads the index and the keep file into `slots`; the views are then
    // filled from them as the find box says.
    void LoadEntries();
    // The kept descriptions of the index's entries, for the find box: read
    // once per load, when the box first holds a word.
    void ReadTexts();
    // The slots the find box lets through, in order.
    std::vector<size_t> Matching() const;
    // The user typed in the find box.
    void FindChanged();
    void FillView();
    void FillList();
    void FillTree();
    void InsertChildren(const CInfoHolder::item_tree &node, HTREEITEM parent);
    // The slot of the selected row or tree item; 0 for none.
    size_t SelectedSlot() const;
    void OpenSlot(size_t slot, bool open);
    // The menu for the entry of `slot`, acted on once it has closed.
    void ShowContextMenu(size_t slot);
    // Writes the kept description of `slot` back onto the item now there.
    void AttachKept(size_t slot);
    void OnSelect(size_t slot);
    // Selects the entry of `control` at the client point `at`, as the user
    // chose it; its slot, or 0 when there is none.
    size_t SelectAt(HWND control, POINT at);
    void DropSlot(size_t slot);
    void OnNotify(const NMHDR *header);

    // What a row or tree item stands for.
    struct entry {
        CInfoHolder::record_ptr record; // null for slot 0 and once dropped
        std::string name;               // the row's text
        std::string text;               // the kept description, for the find box
        // A description this user's keep file holds for an item that an
        // unrelated file replaced: it is not on the item, and the record
        // is in no index.
        bool kept = false;
    };

    list_owner *owner = nullptr;
    // Slot n (from 1) holds the entry whose item data is n; slot 0 stands
    // for no record. Slots stay as they are while the find box narrows
    // the views, until the next load.
    std::vector<entry> slots;
    std::vector<HTREEITEM> tree_items; // slot by slot, in tree mode
    // The slot of each record, for the tree's nodes; made by the first
    // tree fill after a load.
    std::vector<std::pair<const item_info *, size_t>> slot_of_record; // by record
    // Made with each window, not as the library loads: it asks the system
    // for its code page.
    std::unique_ptr<text_query> query;
    // False while the box holds text no stored path or description can hold.
    bool query_possible = true;
    bool texts_read = false;
    // Pixels the find box's row takes above the views.
    int find_row = 0;
    CInfoHolder::tree_ptr shown_tree;
    // The window itself changes the controls: their selection notices are
    // not the user's choice.
    bool changing = false;
    // Layout moves the owner only once the window has been docked.
    bool docked = false;
    // Counts the loads: a slot names its entry within one load only.
    unsigned fill_count = 0;
    // Stale entries and a close found while a menu or a box waited: acted
    // on once it is over.
    std::vector<std::pair<size_t, unsigned>> waiting_drops;
    bool close_waiting = false;
    // Tab and the arrow keys reach the dialog's controls through it: the
    // host's message loop knows nothing of the dialog.
    HHOOK keyboard_hook = nullptr;
};
