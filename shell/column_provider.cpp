#include "shell/column_provider.h"

#include <commctrl.h>

#include <string>

#include "module/module_lifetime.h"
#include "module/guarded_call.h"
#include "module/class_ids.h"
#include "store/info_holder.h"

namespace {

const wchar_t column_title[] = L"Quillarvent Description";

} // namespace

CColumnProv::CColumnProv() : ref_count(0) {
    module_add_ref();
}

CColumnProv::~CColumnProv() {
    module_release();
}

STDMETHODIMP CColumnProv::QueryInterface(REFIID iid, void **out) {
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IColumnProvider) || IsEqualIID(iid, IID_IUnknown)) {
        *out = static_cast<IColumnProvider *>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CColumnProv::AddRef() {
    return InterlockedIncrement(&ref_count);
}

STDMETHODIMP_(ULONG) CColumnProv::Release() {
    LONG count = InterlockedDecrement(&ref_count);
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP CColumnProv::Initialize(LPCSHCOLUMNINIT) {
    return S_OK;
}

STDMETHODIMP CColumnProv::GetColumnInfo(DWORD index, SHCOLUMNINFO *info) {
    if (index != 0)
        return S_FALSE;
    if (!info)
        return E_POINTER;
    info->scid.fmtid = main_clsid;
    info->scid.pid = 0;
    info->vt = VT_LPSTR;
    info->fmt = LVCFMT_LEFT;
    info->cChars = 64;
    info->csFlags = SHCOLSTATE_TYPE_STR | SHCOLSTATE_ONBYDEFAULT;
    lstrcpynW(info->wszTitle, column_title, MAX_COLUMN_NAME_LEN);
    lstrcpynW(info->wszDescription, column_title, MAX_COLUMN_DESC_LEN);
    return S_OK;
}

STDMETHODIMP CColumnProv::GetItemData(LPCSHCOLUMNID column, LPCSHCOLUMNDATA item, VARIANT *value) {
    if (!column || !item || !value)
        return E_POINTER;
    if (!IsEqualGUID(column->fmtid, main_clsid) || column->pid != 0)
        return S_FALSE;
    return guarded_call([&] {
        // The shell's buffer may lack a terminator; never read past it.
        std::wstring path(item->wszFile, wcsnlen(item->wszFile, MAX_PATH));
        std::string text;
        if (!info_holder.get_description(path.c_str(), text))
            return S_FALSE;
        // The system's code page, as the tip and the editor read it: the
        // thread's follows the user's format settings.
        int length =
            MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        BSTR bstr = SysAllocStringLen(nullptr, length);
        if (!bstr)
            return E_OUTOFMEMORY;
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bstr, length);
        VariantClear(value);
        V_VT(value) = VT_BSTR;
        V_BSTR(value) = bstr;
        return S_OK;
    });
}
