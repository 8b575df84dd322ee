#include "tests/ui_fixture.h"

#include <commctrl.h>
#include <shlobj.h>

#include "module/class_ids.h"

namespace {

BOOL CALLBACK find_text_window(HWND window, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t name[16];
    if (process == GetCurrentProcessId() && GetClassNameW(window, name, 16) &&
        lstrcmpW(name, L"#32770") == 0 && GetDlgItem(window, 202) && IsWindowVisible(window)) {
        *reinterpret_cast<HWND *>(found) = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK count_own_window(HWND window, LPARAM count) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId())
        ++*reinterpret_cast<int *>(count);
    return TRUE;
}

} // namespace

int EditorTest::live_gdi_objects() {
    int count = 0;
    for (ULONG_PTR h = 0; h < 0x10000; ++h)
        if (GetObjectType(reinterpret_cast<HGDIOBJ>(h)))
            ++count;
    return count;
}

int EditorTest::own_windows() {
    int count = 0;
    EnumWindows(count_own_window, reinterpret_cast<LPARAM>(&count));
    return count;
}

void EditorTest::TearDown() {
    if (HWND window = editor_window())
        DestroyWindow(window);
    pump();
    DllTest::TearDown();
}

HRESULT EditorTest::invoke(const std::vector<std::wstring> &names) {
    auto *init = create<IShellExtInit>(main_clsid, IID_IShellExtInit);
    if (!init)
        return E_UNEXPECTED;
    DropData *data = DropData::of_names(names);
    init->Initialize(nullptr, data, nullptr);
    data->Release();
    IContextMenu *menu_handler = nullptr;
    init->QueryInterface(IID_IContextMenu, reinterpret_cast<void **>(&menu_handler));
    init->Release();
    if (!menu_handler)
        return E_UNEXPECTED;
    HMENU menu = CreatePopupMenu();
    menu_handler->QueryContextMenu(menu, 0, 100, 200, CMF_NORMAL);
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    info.lpVerb = MAKEINTRESOURCEA(0);
    info.nShow = SW_SHOWNORMAL;
    HRESULT hr = menu_handler->InvokeCommand(&info);
    menu_handler->Release();
    DestroyMenu(menu);
    pump();
    return hr;
}

void EditorTest::pump(DWORD ms) {
    DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(5);
    } while (GetTickCount() - start < ms);
}

HWND EditorTest::editor_window() {
    return FindWindowW(L"Quillarvent", nullptr);
}

HWND EditorTest::text_window() {
    HWND found = nullptr;
    EnumWindows(find_text_window, reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND EditorTest::text_box() {
    HWND window = text_window();
    return window ? GetDlgItem(window, 202) : nullptr;
}

HWND EditorTest::toolbar() {
    return FindWindowExW(editor_window(), nullptr, TOOLBARCLASSNAMEW, nullptr);
}

std::wstring EditorTest::title(HWND window) {
    wchar_t text[MAX_PATH] = L"";
    GetWindowTextW(window, text, MAX_PATH);
    return text;
}

std::string EditorTest::read_stream(const std::string &path, int *kind) {
    std::string bytes;
    if (!read_whole_file(path + ":plivar", bytes) || bytes.size() < 4)
        return "<no stream>";
    if (kind)
        memcpy(kind, bytes.data(), 4);
    return bytes.substr(4);
}

void EditorTest::press(int command) {
    HWND bar = toolbar();
    RECT button = {};
    if (!bar || !SendMessageW(bar, TB_GETRECT, command, reinterpret_cast<LPARAM>(&button))) {
        ADD_FAILURE() << "no toolbar button " << command;
        return;
    }
    LPARAM at = MAKELPARAM((button.left + button.right) / 2, (button.top + button.bottom) / 2);
    SendMessageW(bar, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(bar, WM_LBUTTONUP, 0, at);
    pump();
}

void EditorTest::type(const std::string &text) {
    HWND box = text_box();
    ASSERT_NE(nullptr, box);
    // As a paste: the box tells its window of the change, which setting
    // the text of a multi-line box does not.
    SendMessageW(box, EM_SETSEL, 0, -1);
    SendMessageA(box, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
    pump();
}

std::wstring EditorTest::column_text(const std::string &path) {
    auto *column = create<IColumnProvider>(column_clsid, IID_IColumnProvider);
    if (!column)
        return L"<no object>";
    SHCOLUMNID id = {main_clsid, 0};
    SHCOLUMNDATA data = {};
    lstrcpynW(data.wszFile, wide(path).c_str(), MAX_PATH);
    VARIANT value;
    VariantInit(&value);
    std::wstring text;
    if (column->GetItemData(&id, &data, &value) == S_OK && value.vt == VT_BSTR)
        text = value.bstrVal;
    VariantClear(&value);
    column->Release();
    return text;
}

bool EditorTest::drop_unkept_description(const std::string &path) {
    char folder[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return false;
    // Renamed away before it goes: the library may hold the file open, and
    // Wine keeps a deleted file's name until its last handle is closed.
    std::string keep = std::string(folder) + "\\Quillarvent\\keep.dat";
    if (MoveFileExA(keep.c_str(), (keep + ".dropped").c_str(), MOVEFILE_REPLACE_EXISTING))
        DeleteFileA((keep + ".dropped").c_str());
    return DeleteFileA((path + ":plivar").c_str()) != 0;
}
