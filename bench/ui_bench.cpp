// Prints the figures of the context-menu entry and the editor, measured
// through the built DLL's main handler, against baselines run in the same
// process.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "module/class_ids.h"
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

} // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
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
    handler->Release();
    return 0;
}
