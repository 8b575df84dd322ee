#include "shell/ccinfo.h"

#include "module/class_factory.h"
#include "module/guarded_call.h"
#include "shell/info_tip.h"

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

// The menu entry arrives with the description editor.
STDMETHODIMP CCInfo::Initialize(PCIDLIST_ABSOLUTE, IDataObject *, HKEY) {
    return E_NOTIMPL;
}

STDMETHODIMP CCInfo::QueryContextMenu(HMENU, UINT, UINT, UINT, UINT) {
    return E_NOTIMPL;
}

STDMETHODIMP CCInfo::InvokeCommand(CMINVOKECOMMANDINFO *) {
    return E_NOTIMPL;
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
