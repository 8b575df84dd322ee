#include "module/class_factory.h"

#include <new>

#include "module/class_ids.h"
#include "module/module_lifetime.h"
#include "shell/ccinfo.h"
#include "shell/column_provider.h"
#include "shell/overlay_icon_provider.h"
#include "shell/property_handler.h"
#include "ui/bitmaps.h"
#include "ui/window_main.h"

namespace {

// Hands out a new object through its QueryInterface, which takes the count
// from 0 to 1; a failed QueryInterface destroys it again.
template <typename T> HRESULT hand_out(T *object, REFIID iid, void **out) {
    if (!object)
        return E_OUTOFMEMORY;
    object->AddRef();
    HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

} // namespace

CShellExtClassFactory::CShellExtClassFactory(REFCLSID clsid) : ref_count(0), clsid(clsid) {
    module_add_ref();
}

CShellExtClassFactory::~CShellExtClassFactory() {
    module_release();
}

STDMETHODIMP CShellExtClassFactory::QueryInterface(REFIID iid, void **out) {
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *out = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CShellExtClassFactory::AddRef() {
    return InterlockedIncrement(&ref_count);
}

STDMETHODIMP_(ULONG) CShellExtClassFactory::Release() {
    LONG count = InterlockedDecrement(&ref_count);
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP CShellExtClassFactory::CreateInstance(IUnknown *outer, REFIID iid, void **out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    for (int kind = 0; kind < 6; ++kind)
        if (IsEqualCLSID(clsid, overlay_clsid(kind)))
            return hand_out(new (std::nothrow) COverlayIconProvider(kind), iid, out);
    if (IsEqualCLSID(clsid, main_clsid))
        return hand_out(new (std::nothrow) CCInfo(), iid, out);
    if (IsEqualCLSID(clsid, column_clsid))
        return hand_out(new (std::nothrow) CColumnProv(), iid, out);
    if (IsEqualCLSID(clsid, property_handler_clsid))
        return hand_out(new (std::nothrow) CPropertyHandler(), iid, out);
    return E_NOINTERFACE;
}

STDMETHODIMP CShellExtClassFactory::LockServer(BOOL lock) {
    if (lock)
        module_add_ref();
    else
        module_release();
    return S_OK;
}

HRESULT get_class_object(REFCLSID clsid, REFIID iid, void **out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return hand_out(new (std::nothrow) CShellExtClassFactory(clsid), iid, out);
}

HRESULT can_unload_now() {
    // An open window counts as a live object; a window whose thread ended
    // stops counting here, and the window class goes with the last window.
    bool no_windows = editor.ReleaseWindowClasses();
    if (module_object_count != 0 || !no_windows)
        return S_FALSE;
    // Opened again on the next use, should the host keep the library.
    release_button_theme();
    release_retired_bitmaps();
    return S_OK;
}
