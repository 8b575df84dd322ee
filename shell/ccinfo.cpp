#include "shell/ccinfo.h"

#include "module/module_lifetime.h"
#include "module/guarded_call.h"
#include "module/module_start_up.h"
#include "shell/info_tip.h"
#include "store/path_text.h"
#include "ui/bitmaps.h"
#include "ui/window_main.h"

namespace {

const wchar_t menu_entry_text[] = L"Manage Description";

// Marks this library's entry in a menu: its item data is the address of
// this object, which no other handler can use.
const char menu_entry_mark = 0;

ULONG_PTR entry_mark() {
    return reinterpret_cast<ULONG_PTR>(&menu_entry_mark);
}

// Whether `menu` already holds the entry: the shell may ask twice for one
// menu, and a new menu may reuse a handle value of an old one.
bool menu_holds_entry(HMENU menu) {
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_DATA;
        if (GetMenuItemInfoW(menu, i, TRUE, &item) && item.dwItemData == entry_mark())
            return true;
    }
    return false;
}

// The names of a drop list lie within its memory and end with an empty one:
// otherwise DragQueryFile would read past the block.
bool drop_list_is_whole(const void *block, SIZE_T size) {
    if (size < sizeof(DROPFILES))
        return false;
    const DROPFILES *drop = static_cast<const DROPFILES *>(block);
    if (drop->pFiles < sizeof(DROPFILES) || drop->pFiles >= size)
        return false;
    const BYTE *names = static_cast<const BYTE *>(block) + drop->pFiles;
    SIZE_T bytes = size - drop->pFiles;
    if (drop->fWide) {
        const wchar_t *text = reinterpret_cast<const wchar_t *>(names);
        SIZE_T units = bytes / sizeof(wchar_t);
        for (SIZE_T i = 0; i + 1 < units; ++i)
            if (text[i] == 0 && (i == 0 || text[i + 1] == 0))
                return true;
        return false;
    }
    for (SIZE_T i = 0; i + 1 < bytes; ++i)
        if (names[i] == 0 && (i == 0 || names[i + 1] == 0))
            return true;
    return false;
}

// The first name of the drop list, if it fits a path buffer whole: a cut
// name would name another item, perhaps the parent folder.
HRESULT first_dropped_name(HDROP drop, std::wstring &name) {
    if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) == 0)
        return E_INVALIDARG;
    UINT length = DragQueryFileW(drop, 0, nullptr, 0);
    if (length == 0 || length >= MAX_PATH)
        return E_INVALIDARG;
    wchar_t buffer[MAX_PATH];
    if (DragQueryFileW(drop, 0, buffer, MAX_PATH) != length)
        return E_INVALIDARG;
    name.assign(buffer, length);
    return S_OK;
}

} // namespace

CCInfo::CCInfo() : ref_count(0) {
    module_add_ref();
}

CCInfo::~CCInfo() {
    module_release();
}

STDMETHODIMP CCInfo::QueryInterface(REFIID iid, void **out) {
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IShellExtInit) || IsEqualIID(iid, IID_IUnknown))
        *out = static_cast<IShellExtInit *>(this);
    else if (IsEqualIID(iid, IID_IContextMenu))
        *out = static_cast<IContextMenu *>(this);
    else if (IsEqualIID(iid, IID_IPersistFile))
        *out = static_cast<IPersistFile *>(this);
    else if (IsEqualIID(iid, IID_IQueryInfo))
        *out = static_cast<IQueryInfo *>(this);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CCInfo::AddRef() {
    return InterlockedIncrement(&ref_count);
}

STDMETHODIMP_(ULONG) CCInfo::Release() {
    LONG count = InterlockedDecrement(&ref_count);
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP CCInfo::GetClassID(CLSID *) {
    return S_OK;
}

STDMETHODIMP CCInfo::IsDirty() {
    return S_OK;
}

STDMETHODIMP CCInfo::Load(LPCOLESTR file_name, DWORD) {
    if (!file_name)
        return E_INVALIDARG;
    return guarded_call([&] {
        item_path = file_name;
        return S_OK;
    });
}

STDMETHODIMP CCInfo::Save(LPCOLESTR, BOOL) {
    return S_OK;
}

STDMETHODIMP CCInfo::SaveCompleted(LPCOLESTR) {
    return S_OK;
}

STDMETHODIMP CCInfo::GetCurFile(LPOLESTR *) {
    return S_OK;
}

STDMETHODIMP CCInfo::Initialize(PCIDLIST_ABSOLUTE, IDataObject *data, HKEY) {
    item_path.clear();
    if (!data)
        return E_INVALIDARG;
    return guarded_call([&] {
        FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM medium = {};
        if (FAILED(data->GetData(&format, &medium)))
            return E_INVALIDARG;
        HRESULT hr = E_INVALIDARG;
        if (medium.tymed == TYMED_HGLOBAL && medium.hGlobal) {
            if (void *block = GlobalLock(medium.hGlobal)) {
                std::wstring name;
                if (drop_list_is_whole(block, GlobalSize(medium.hGlobal)))
                    hr = first_dropped_name(static_cast<HDROP>(medium.hGlobal), name);
                GlobalUnlock(medium.hGlobal);
                // Only an item named by a plain full path gets the entry: a
                // device or pipe name would be opened by the editor.
                if (SUCCEEDED(hr) && !is_canonical_full_path(name.c_str()))
                    hr = E_INVALIDARG;
                if (SUCCEEDED(hr))
                    item_path = name;
            }
        }
        ReleaseStgMedium(&medium);
        return hr;
    });
}

STDMETHODIMP CCInfo::QueryContextMenu(HMENU menu, UINT index, UINT first, UINT, UINT flags) {
    const HRESULT one_command = MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
    return guarded_call([&] {
        if (menu_holds_entry(menu))
            return one_command;
        // A drive root such as "C:\" (or no item at all) gets no entry.
        if (item_path.size() < 4)
            return one_command;
        if (flags & CMF_DEFAULTONLY)
            return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 0);
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING | MIIM_DATA;
        item.fType = MFT_STRING;
        item.wID = first;
        item.dwTypeData = const_cast<wchar_t *>(menu_entry_text);
        item.dwItemData = entry_mark();
        HBITMAP bitmap = module_folder[0] ? GetMenuEntryBitmap() : nullptr;
        if (bitmap) {
            item.fMask |= MIIM_CHECKMARKS;
            item.hbmpChecked = item.hbmpUnchecked = bitmap;
        }
        if (!InsertMenuItemW(menu, index, TRUE, &item))
            return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 0);
        return one_command;
    });
}

STDMETHODIMP CCInfo::InvokeCommand(CMINVOKECOMMANDINFO *info) {
    if (!info)
        return E_INVALIDARG;
    return guarded_call([&] {
        // Only our one command, by its offset: a verb string or another
        // offset belongs to another handler, which the shell asks after a
        // failure.
        if (!IS_INTRESOURCE(info->lpVerb) || LOWORD(info->lpVerb) != 0)
            return E_FAIL;
        if (info->cbSize >= sizeof(CMINVOKECOMMANDINFOEX) && (info->fMask & CMIC_MASK_UNICODE)) {
            const wchar_t *verb = reinterpret_cast<CMINVOKECOMMANDINFOEX *>(info)->lpVerbW;
            if (!IS_INTRESOURCE(verb) || LOWORD(verb) != 0)
                return E_FAIL;
        }
        // No entry was offered for a drive root or a failed selection.
        if (item_path.size() < 4)
            return E_FAIL;
        return editor.Open(item_path);
    });
}

STDMETHODIMP CCInfo::GetCommandString(UINT_PTR, UINT, UINT *, CHAR *, UINT) {
    return E_NOTIMPL;
}

STDMETHODIMP CCInfo::GetInfoTip(DWORD, WCHAR **tip) {
    if (!tip)
        return E_POINTER;
    *tip = nullptr;
    return guarded_call([&] {
        *tip = make_info_tip(item_path.c_str());
        return S_OK;
    });
}

STDMETHODIMP CCInfo::GetInfoFlags(DWORD *) {
    return E_NOTIMPL;
}
