#include "tests/ui_fixture.h"

#include <commctrl.h>
#include <shlobj.h>

#include "module/class_ids.h"

namespace {

std::string drop_block_of(const std::vector<std::wstring> &names) {
    DROPFILES header = {};
    header.pFiles = sizeof header;
    header.fWide = TRUE;
    std::wstring list;
    for (const std::wstring &name : names)
        list += name + L'\0';
    list += L'\0';
    std::string block(reinterpret_cast<const char *>(&header), sizeof header);
    block.append(reinterpret_cast<const char *>(list.data()), list.size() * sizeof(wchar_t));
    return block;
}

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

} // namespace

DropData *DropData::of_names(const std::vector<std::wstring> &names) {
    return of_block(drop_block_of(names));
}

DropData *DropData::of_block(const std::string &block) {
    DropData *data = new DropData;
    data->block_ = block;
    return data;
}

DropData *DropData::without_drop_list() {
    DropData *data = new DropData;
    data->has_drop_ = false;
    return data;
}

STDMETHODIMP DropData::QueryInterface(REFIID iid, void **out) {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDataObject)) {
        *out = static_cast<IDataObject *>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) DropData::Release() {
    LONG count = InterlockedDecrement(&refs_);
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP DropData::QueryGetData(FORMATETC *format) {
    return has_drop_ && format->cfFormat == CF_HDROP && (format->tymed & TYMED_HGLOBAL)
               ? S_OK
               : DV_E_FORMATETC;
}

STDMETHODIMP DropData::GetData(FORMATETC *format, STGMEDIUM *medium) {
    if (QueryGetData(format) != S_OK)
        return DV_E_FORMATETC;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, block_.size());
    if (!memory)
        return E_OUTOFMEMORY;
    memcpy(GlobalLock(memory), block_.data(), block_.size());
    GlobalUnlock(memory);
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = memory;
    medium->pUnkForRelease = nullptr;
    return S_OK;
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
