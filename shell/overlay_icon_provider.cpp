#include "shell/overlay_icon_provider.h"

#include <strsafe.h>

#include "module/drive_probe.h"
#include "module/module_lifetime.h"
#include "module/guarded_call.h"
#include "module/module_start_up.h"
#include "store/info_holder.h"
#include "store/path_text.h"

COverlayIconProvider::COverlayIconProvider(int kind) : ref_count(0), icon_kind(kind) {
    module_add_ref();
}

COverlayIconProvider::~COverlayIconProvider() {
    module_release();
}

STDMETHODIMP COverlayIconProvider::QueryInterface(REFIID iid, void **out) {
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IShellIconOverlayIdentifier)) {
        *out = static_cast<IShellIconOverlayIdentifier *>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) COverlayIconProvider::AddRef() {
    return InterlockedIncrement(&ref_count);
}

STDMETHODIMP_(ULONG) COverlayIconProvider::Release() {
    LONG count = InterlockedDecrement(&ref_count);
    if (count == 0)
        delete this;
    return count;
}

int overlay_kind_of(const wchar_t *path) {
    int32_t kind = -1;
    switch (info_holder.lookup_icon_kind(path, kind)) {
    case CInfoHolder::entry_state::described:
        return kind;
    case CInfoHolder::entry_state::not_described:
        return -1;
    case CInfoHolder::entry_state::unknown:
        break;
    }
    // An item of a server that does not answer would stall the shell's
    // thread: off fixed drives, an item the index does not know shows no
    // marker, and nothing is remembered, so turning probe_all_drives on
    // takes effect in this process too.
    if (!may_open_unknown_item(path))
        return -1;
    // First sight of this path: look at the item once and remember. A path
    // the index cannot hold (no exact ANSI form, too long) has no
    // description here, and is not looked at again either.
    kind = fits_code_page(path) ? read_icon_kind(path) : -1;
    if (kind == -1 || info_holder.enter_described(path, kind) > 1) {
        info_holder.mark_not_described(path);
        return -1;
    }
    // A save may have entered the item meanwhile: its kind stands.
    info_holder.lookup_icon_kind(path, kind);
    return kind;
}

STDMETHODIMP COverlayIconProvider::IsMemberOf(LPCWSTR path, DWORD) {
    if (!path)
        return E_INVALIDARG;
    return guarded_call([&] { return overlay_kind_of(path) == icon_kind ? S_OK : S_FALSE; });
}

STDMETHODIMP COverlayIconProvider::GetOverlayInfo(LPWSTR icon_file, int capacity, int *index,
                                                  DWORD *flags) {
    if (!icon_file || !index || !flags)
        return E_POINTER;
    *index = 0;
    *flags = 0;
    if (capacity <= 0)
        return E_INVALIDARG;
    HRESULT hr = StringCchCopyW(icon_file, capacity, overlay_table[icon_kind].icon_path);
    if (FAILED(hr)) {
        icon_file[0] = L'\0'; // a cut path would name another file
        return hr;
    }
    *flags = ISIOI_ICONFILE;
    *index = icon_kind + 10;
    return S_OK;
}

STDMETHODIMP COverlayIconProvider::GetPriority(int *priority) {
    if (!priority)
        return E_POINTER;
    *priority = 20;
    return S_OK;
}
