#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "module/class_ids.h"
#include "tests/ui_fixture.h"

namespace {

// A host that opens the editor and returns from main with it open, the
// library still loaded: its exit code tells the test whether it ended well.
int open_editor_and_exit(const char *library, const char *path) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HMODULE dll = LoadLibraryA(library);
    if (!dll)
        return 10;
    auto get_class_object = reinterpret_cast<HRESULT(WINAPI *)(REFCLSID, REFIID, void **)>(
        reinterpret_cast<void *>(GetProcAddress(dll, "DllGetClassObject")));
    IClassFactory *factory = nullptr;
    if (!get_class_object || FAILED(get_class_object(main_clsid, IID_IClassFactory,
                                                     reinterpret_cast<void **>(&factory))))
        return 11;
    IShellExtInit *init = nullptr;
    factory->CreateInstance(nullptr, IID_IShellExtInit, reinterpret_cast<void **>(&init));
    factory->Release();
    if (!init)
        return 12;
    std::string ansi = path;
    DropData *data = DropData::of_names({std::wstring(ansi.begin(), ansi.end())});
    init->Initialize(nullptr, data, nullptr);
    data->Release();
    IContextMenu *menu = nullptr;
    init->QueryInterface(IID_IContextMenu, reinterpret_cast<void **>(&menu));
    init->Release();
    HMENU popup = CreatePopupMenu();
    menu->QueryContextMenu(popup, 0, 1, 100, CMF_NORMAL);
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    HRESULT hr = menu->InvokeCommand(&info);
    menu->Release();
    if (hr != S_OK || !FindWindowW(L"Quillarvent", nullptr))
        return 13;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 300) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
        Sleep(10);
    }
    return 0;
}

// Another program that has `path` open, sharing nothing, until it is ended.
int hold_file(const char *path) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 20;
    Sleep(120000);
    CloseHandle(file);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "--open-editor-and-exit") == 0)
        return open_editor_and_exit(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "--hold-file") == 0)
        return hold_file(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
