// Prints the figures of the context-menu entry and the editor, measured
// through the built DLL's main handler, against baselines run in the same
// process.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "module/class_ids.h"
#include "module/module_start_up.h"
#include "store/info_holder.h"
#include "store/keep_file.h"
#include "tests/drop_data.h"
#include "tests/test_support.h"

namespace {

const int menus_per_turn = 2000;
const int turns = 7;

typedef HRESULT(WINAPI *get_class_object_fn)(REFCLSID, REFIID, void **);

void pump_until_painted(HWND a, HWND b) {
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
        if (!GetUpdateRect(a, nullptr, FALSE) && (!b || !GetUpdateRect(b, nullptr, FALSE)))
            return;
    }
}

BOOL CALLBACK find_text_window(HWND window, LPARAM found) {
    wchar_t name[16];
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && GetClassNameW(window, name, 16) &&
        lstrcmpW(name, L"#32770") == 0 && GetDlgItem(window, 202)) {
        *reinterpret_cast<HWND *>(found) = window;
        return FALSE;
    }
    return TRUE;
}

HMENU shell_menu(int items) {
    HMENU menu = CreatePopupMenu();
    for (int i = 0; i < items; ++i)
        AppendMenuW(menu, MF_STRING, 1 + i, L"Another handler's entry");
    return menu;
}

// Seconds for QueryContextMenu on `menus_per_turn` fresh menus that already
// hold `items` entries of other handlers, and for one bare InsertMenuA on as
// many, best of the turns.
void query_context_menu(IContextMenu *handler, const char *name, int items) {
    double best = 1e30, best_baseline = 1e30;
    std::vector<HMENU> menus(menus_per_turn);
    for (int turn = 0; turn < turns; ++turn) {
        for (HMENU &menu : menus)
            menu = shell_menu(items);
        best = std::min(best, seconds_of([&] {
                            for (HMENU menu : menus)
                                handler->QueryContextMenu(menu, 0, 100, 200, CMF_NORMAL);
                        }));
        bool inserted = GetMenuItemCount(menus.front()) == items + 1 &&
                        GetMenuItemCount(menus.back()) == items + 1;
        for (HMENU menu : menus)
            DestroyMenu(menu);
        if (!inserted) {
            printf("figure: %s failed: no entry inserted\n", name);
            return;
        }
        for (HMENU &menu : menus)
            menu = shell_menu(items);
        best_baseline =
            std::min(best_baseline, seconds_of([&] {
                         for (HMENU menu : menus)
                             InsertMenuA(menu, 0, MF_BYPOSITION, 100, "Manage Description");
                     }));
        for (HMENU menu : menus)
            DestroyMenu(menu);
    }
    print_ratio(name, best / menus_per_turn * 1e6, best_baseline / menus_per_turn * 1e6, "us", 3.0);
}

// Milliseconds from InvokeCommand to the editor and its text window
// painted; the baseline shows and paints one bare top-level window.
void editor_open(IContextMenu *handler) {
    double best = 1e30, best_baseline = 1e30;
    for (int turn = 0; turn < turns; ++turn) {
        HWND editor = nullptr, text = nullptr;
        best = std::min(best, seconds_of([&] {
                            CMINVOKECOMMANDINFO info = {};
                            info.cbSize = sizeof info;
                            handler->InvokeCommand(&info);
                            editor = FindWindowW(L"Quillarvent", nullptr);
                            EnumWindows(find_text_window, reinterpret_cast<LPARAM>(&text));
                            if (editor)
                                pump_until_painted(editor, text);
                        }));
        if (!editor || !text) {
            printf("figure: editor_open failed: no editor window\n");
            return;
        }
        DestroyWindow(editor);
        HWND bare = nullptr;
        best_baseline = std::min(best_baseline, seconds_of([&] {
                                     bare = CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"bare",
                                                            WS_OVERLAPPEDWINDOW, 100, 100, 278, 65,
                                                            nullptr, nullptr, nullptr, nullptr);
                                     ShowWindow(bare, SW_SHOW);
                                     UpdateWindow(bare);
                                     pump_until_painted(bare, nullptr);
                                 }));
        DestroyWindow(bare);
    }
    printf("figure: editor_open value=%.2f ms baseline=%.2f ms (one bare window) ratio=%.1f\n",
           best * 1e3, best_baseline * 1e3, best / best_baseline);
}

INT_PTR CALLBACK bare_dialog_proc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

HIMAGELIST small_images(HMODULE dll) {
    HIMAGELIST images = ImageList_Create(16, 16, ILC_COLOR24, 7, 0);
    for (int i = 0; i < 7; ++i)
        if (HBITMAP bitmap = LoadBitmapW(dll, MAKEINTRESOURCEW(250 + i))) {
            ImageList_Add(images, bitmap, nullptr);
            DeleteObject(bitmap);
        }
    return images;
}

void insert_bare_tree(HWND view, const CInfoHolder::item_tree &node, HTREEITEM parent) {
    for (const auto &child : node.children) {
        TVINSERTSTRUCTA insert = {};
        insert.hParent = parent;
        insert.hInsertAfter = TVI_LAST;
        insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
        insert.item.pszText = const_cast<char *>(child->name.c_str());
        insert.item.iImage = insert.item.iSelectedImage = child->item ? child->item->icon_kind : 6;
        HTREEITEM added = reinterpret_cast<HTREEITEM>(
            SendMessageA(view, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
        insert_bare_tree(view, *child, added);
    }
}

// Fills a bare list view with `names` and `images`, as the list window
// fills its own: every earlier row goes first.
void fill_bare_list(HWND view, std::vector<std::string> &names, const std::vector<int> &images) {
    SendMessageW(view, WM_SETREDRAW, FALSE, 0);
    SendMessageW(view, LVM_DELETEALLITEMS, 0, 0);
    SendMessageW(view, LVM_SETITEMCOUNT, names.size(), 0);
    for (size_t i = 0; i < names.size(); ++i) {
        LVITEMA item = {};
        item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
        item.iItem = static_cast<int>(i);
        item.pszText = &names[i][0];
        item.iImage = images[i];
        item.lParam = static_cast<LPARAM>(i + 1);
        SendMessageA(view, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    SendMessageW(view, WM_SETREDRAW, TRUE, 0);
}

// Milliseconds from the first letter typed into the find box, the list
// just filled with all 10,000 rows, to the list showing the rows that match
// it (their descriptions are read for it); the baseline takes the bare list
// from the same 10,000 rows to just those rows.
void find_filter(HWND list, HWND bare_list, std::vector<std::string> &all_names,
                 const std::vector<int> &all_kinds, wchar_t typed) {
    HWND box = GetDlgItem(list, 236), view = GetDlgItem(list, 235);
    double best = 1e30, best_baseline = 1e30;
    std::vector<std::string> names;
    std::vector<int> kinds;
    for (int turn = 0; turn < 9; ++turn) {
        SetWindowTextW(box, L"");
        SendMessageW(GetDlgItem(list, 230), BM_CLICK, 0, 0);
        int all = static_cast<int>(SendMessageW(view, LVM_GETITEMCOUNT, 0, 0));
        best = std::min(best, seconds_of([&] { SendMessageW(box, WM_CHAR, typed, 1); }));
        int rows = static_cast<int>(SendMessageW(view, LVM_GETITEMCOUNT, 0, 0));
        if (rows == 0 || rows == all || all != static_cast<int>(all_names.size())) {
            printf("figure: filter_10k failed: %d of %d rows match\n", rows, all);
            return;
        }
        names.clear();
        kinds.clear();
        for (int i = 0; i < rows; ++i) {
            char text[MAX_PATH] = "";
            LVITEMA item = {};
            item.mask = LVIF_TEXT | LVIF_IMAGE;
            item.iItem = i;
            item.pszText = text;
            item.cchTextMax = MAX_PATH;
            SendMessageA(view, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
            names.push_back(text);
            kinds.push_back(item.iImage);
        }
        fill_bare_list(bare_list, all_names, all_kinds);
        best_baseline =
            std::min(best_baseline, seconds_of([&] { fill_bare_list(bare_list, names, kinds); }));
    }
    SetWindowTextW(box, L"");
    print_ratio("filter_10k", best * 1e3, best_baseline * 1e3, "ms", 1.5);
    printf("filter_10k: %d of %d rows match\n", static_cast<int>(names.size()),
           static_cast<int>(all_names.size()));
}

// The list window over the index's records, filled by its own view
// switches, against the same dialog's bare views filled with the same names
// and images.
void list_and_tree_fill(HMODULE dll, IContextMenu *handler,
                        const std::vector<CInfoHolder::record_ptr> &records) {
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    handler->InvokeCommand(&info);
    HWND editor = FindWindowW(L"Quillarvent", nullptr);
    SendMessageW(editor, WM_COMMAND, 32775, 0);
    HWND list = FindWindowW(L"#32770", L"List of descriptions");
    HWND bare = CreateDialogParamW(dll, MAKEINTRESOURCEW(214), nullptr, bare_dialog_proc, 0);
    if (!list || !bare) {
        printf("figure: list_fill_10k failed: no list window\n");
        return;
    }
    HIMAGELIST images = small_images(dll);
    HWND bare_list = GetDlgItem(bare, 235), bare_tree = GetDlgItem(bare, 203);
    SendMessageW(bare_list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images));
    SendMessageW(bare_tree, TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(images));
    std::vector<std::string> names;
    std::vector<int> kinds;
    for (const auto &record : records) {
        names.push_back(record->path.substr(record->path.rfind('\\') + 1));
        kinds.push_back(record->icon_kind);
    }
    ShowWindow(bare, SW_SHOW);
    auto bare_list_fill = [&] { fill_bare_list(bare_list, names, kinds); };
    auto click = [&](int radio) { SendMessageW(GetDlgItem(list, radio), BM_CLICK, 0, 0); };
    // Every timed fill, ours and the bare one, replaces 10,000 rows.
    bare_list_fill();
    auto list_fill = best_by_turns(
        9, [&] { click(230); }, bare_list_fill);
    int rows = static_cast<int>(SendMessageW(GetDlgItem(list, 235), LVM_GETITEMCOUNT, 0, 0));
    print_ratio("list_fill_10k", list_fill.first * 1e3, list_fill.second * 1e3, "ms", 1.5);
    // "q": the quarterly figures among the descriptions, a fifth of the rows.
    find_filter(list, bare_list, names, kinds, L'q');

    CInfoHolder::tree_ptr nodes = build_item_tree(records);
    ShowWindow(bare_list, SW_HIDE);
    auto bare_tree_fill = [&] {
        SendMessageW(bare_tree, WM_SETREDRAW, FALSE, 0);
        SendMessageW(bare_tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
        insert_bare_tree(bare_tree, *nodes, TVI_ROOT);
        SendMessageW(bare_tree, WM_SETREDRAW, TRUE, 0);
    };
    click(231);
    bare_tree_fill();
    auto tree_fill = best_by_turns(
        9, [&] { click(231); }, bare_tree_fill);
    print_ratio("tree_fill_10k", tree_fill.first * 1e3, tree_fill.second * 1e3, "ms", 1.5);
    if (rows != static_cast<int>(records.size()))
        printf("figure: list_fill_10k failed: %d rows for %d records\n", rows,
               static_cast<int>(records.size()));
    DestroyWindow(bare);
    ImageList_Destroy(images);
    DestroyWindow(editor);
}

} // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // An index of 10,000 described items in about a thousand folders.
    char common[MAX_PATH];
    SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common);
    std::string config = std::string(common) + "\\Quillarvent";
    delete_tree(config);
    CreateDirectoryA(config.c_str(), nullptr);
    std::vector<std::wstring> indexed;
    write_whole_file(config + "\\files.dat", make_index_bytes(10000, indexed));
    // This user wrote the descriptions through the product: the keep file
    // holds their texts, which the find box searches.
    const char *texts[] = {"Quarterly figures for the board", "Draft letter to the bank",
                           "Holiday photos from the coast", "Invoice, paid in March",
                           "Notes from the design review"};
    char local[MAX_PATH];
    SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local);
    std::string keep_folder = std::string(local) + "\\Quillarvent";
    delete_tree(keep_folder);
    CreateDirectoryA(keep_folder.c_str(), nullptr);
    std::string kept(keep_file_header, sizeof keep_file_header);
    for (size_t i = 0; i < indexed.size(); ++i)
        append_keep_record(keep_entry_of(keep_event::described, indexed[i].c_str(),
                                         static_cast<int32_t>(i % 6), texts[i % 5],
                                         item_identity()),
                           kept);
    write_whole_file(keep_folder + "\\keep.dat", kept);
    std::vector<CInfoHolder::record_ptr> records;
    {
        CInfoHolder same_index;
        strcpy(index_path, (config + "\\files.dat").c_str());
        same_index.load_index();
        records = same_index.records();
        index_path[0] = '\0';
    }
    TempFolder temp;
    std::string tools = temp.path() + "Tools\\";
    CreateDirectoryA(tools.c_str(), nullptr);
    std::string item = temp.path() + "benchmark item.txt";
    write_whole_file(item, "data");
    HMODULE dll = load_built_dll_from(tools);
    auto get_class_object = dll ? reinterpret_cast<get_class_object_fn>(reinterpret_cast<void *>(
                                      GetProcAddress(dll, "DllGetClassObject")))
                                : nullptr;
    IClassFactory *factory = nullptr;
    if (!get_class_object || FAILED(get_class_object(main_clsid, IID_IClassFactory,
                                                     reinterpret_cast<void **>(&factory)))) {
        printf("ui_bench: the built library could not be loaded\n");
        return 1;
    }
    IShellExtInit *init = nullptr;
    factory->CreateInstance(nullptr, IID_IShellExtInit, reinterpret_cast<void **>(&init));
    factory->Release();
    DropData *data = DropData::of_names({std::wstring(item.begin(), item.end())});
    init->Initialize(nullptr, data, nullptr);
    data->Release();
    IContextMenu *handler = nullptr;
    init->QueryInterface(IID_IContextMenu, reinterpret_cast<void **>(&handler));
    init->Release();
    // The first call loads the entry's bitmap; every later menu finds it cached.
    HMENU first = CreatePopupMenu();
    handler->QueryContextMenu(first, 0, 100, 200, CMF_NORMAL);
    DestroyMenu(first);

    query_context_menu(handler, "query_context_menu", 0);
    // A shell menu holds the entries of other handlers, which the guard
    // against a second entry looks through.
    query_context_menu(handler, "query_context_menu_30_items", 30);
    editor_open(handler);
    list_and_tree_fill(dll, handler, records);
    handler->Release();
    delete_tree(config);
    delete_tree(keep_folder);
    return 0;
}
