#include "shell/property_handler.h"

#include <new>

#include "module/guarded_call.h"
#include "module/module_lifetime.h"
#include "store/info_holder.h"
#include "store/item_info.h"
#include "store/path_text.h"
#include "store/store_report.h"

namespace {

// The longest path the system opens; a longer one is not a path.
const size_t longest_path = 32767;

class Exclusive {
  public:
    explicit Exclusive(SRWLOCK &lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Exclusive() { ReleaseSRWLockExclusive(&lock_); }
    Exclusive(const Exclusive &) = delete;
    Exclusive &operator=(const Exclusive &) = delete;

  private:
    SRWLOCK &lock_;
};

// A caller written in C may pass a null reference. Read through a
// volatile, the test cannot be dropped as one that is always false.
bool is_null(const void *address) {
    const void *volatile held = address;
    return held == nullptr;
}

bool is_key(REFPROPERTYKEY key, const PROPERTYKEY &wanted) {
    return IsEqualGUID(key.fmtid, wanted.fmtid) && key.pid == wanted.pid;
}

std::wstring wide_text_of(const std::string &ansi) {
    int length =
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(length, L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0],
                            length);
    return wide;
}

HRESULT string_value(const std::wstring &text, PROPVARIANT *value) {
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto copy = static_cast<wchar_t *>(CoTaskMemAlloc(bytes));
    if (!copy)
        return E_OUTOFMEMORY;
    memcpy(copy, text.c_str(), bytes);
    value->vt = VT_LPWSTR;
    value->pwszVal = copy;
    return S_OK;
}

} // namespace

CPropertyHandler::CPropertyHandler() : ref_count(0) {
    InitializeSRWLock(&lock);
    module_add_ref();
}

CPropertyHandler::~CPropertyHandler() {
    module_release();
}

STDMETHODIMP CPropertyHandler::QueryInterface(REFIID iid, void **out) {
    if (!out)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyStore))
        *out = static_cast<IPropertyStore *>(this);
    else if (IsEqualIID(iid, IID_IInitializeWithFile))
        *out = static_cast<IInitializeWithFile *>(this);
    else if (IsEqualIID(iid, IID_IPropertyStoreCapabilities))
        *out = static_cast<IPropertyStoreCapabilities *>(this);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CPropertyHandler::AddRef() {
    return InterlockedIncrement(&ref_count);
}

STDMETHODIMP_(ULONG) CPropertyHandler::Release() {
    LONG count = InterlockedDecrement(&ref_count);
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP CPropertyHandler::Initialize(LPCWSTR item_path, DWORD mode) {
    if (!item_path)
        return E_INVALIDARG;
    return guarded_call([&] {
        size_t length = wcsnlen(item_path, longest_path + 1);
        if (length == 0 || length > longest_path)
            return E_INVALIDARG;
        Exclusive held(lock);
        if (initialized)
            return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
        path.assign(item_path, length);
        initialized = true;
        // Only a path the store can name exactly has a description here.
        bool storable = is_canonical_full_path(path.c_str()) && fits_code_page(path.c_str());
        writable = storable && (mode & (STGM_WRITE | STGM_READWRITE));
        if (!storable)
            return S_OK;
        int32_t kind = -1;
        std::string stored;
        if (item_info(0, path.c_str()).read_stream(stored, &kind) == ERROR_SUCCESS) {
            described = true;
            icon_kind = kind;
            ansi_text = stored;
            text = wide_text_of(stored);
        }
        return S_OK;
    });
}

STDMETHODIMP CPropertyHandler::GetCount(DWORD *count) {
    if (!count)
        return E_POINTER;
    *count = 2;
    return S_OK;
}

STDMETHODIMP CPropertyHandler::GetAt(DWORD index, PROPERTYKEY *key) {
    if (!key)
        return E_POINTER;
    if (index > 1) {
        *key = PROPERTYKEY{};
        return E_INVALIDARG;
    }
    *key = index == 0 ? description_property_key : marker_property_key;
    return S_OK;
}

STDMETHODIMP CPropertyHandler::GetValue(REFPROPERTYKEY key, PROPVARIANT *value) {
    if (!value)
        return E_POINTER;
    PropVariantInit(value);
    if (is_null(&key))
        return E_POINTER;
    return guarded_call([&] {
        Exclusive held(lock);
        // A value set and not yet committed is the store's value now.
        if (!described && !changed)
            return S_OK;
        if (is_key(key, description_property_key))
            return string_value(text, value);
        if (is_key(key, marker_property_key) && icon_kind >= 0 && icon_kind <= 5) {
            value->vt = VT_UI4;
            value->ulVal = static_cast<ULONG>(icon_kind);
        }
        return S_OK;
    });
}

STDMETHODIMP CPropertyHandler::SetValue(REFPROPERTYKEY key, REFPROPVARIANT value) {
    if (is_null(&key) || is_null(&value))
        return E_POINTER;
    return guarded_call([&] {
        Exclusive held(lock);
        if (!initialized)
            return E_UNEXPECTED;
        if (!is_key(key, description_property_key) || !writable)
            return STG_E_ACCESSDENIED;
        const wchar_t *wide = L"";
        if (value.vt == VT_LPWSTR || value.vt == VT_BSTR) {
            if (value.pwszVal)
                wide = value.pwszVal;
        } else if (value.vt != VT_EMPTY) {
            return DISP_E_TYPEMISMATCH;
        }
        // Stored as typed or not at all, as the editor stores it.
        std::string ansi;
        if (!exact_ansi_of(wide, ansi))
            return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
        HRESULT result = S_OK;
        if (ansi.size() > max_description_bytes) {
            ansi.resize(whole_characters_within(ansi, max_description_bytes, CP_ACP));
            result = INPLACE_S_TRUNCATED;
        }
        ansi_text = ansi;
        text = wide_text_of(ansi);
        changed = true;
        return result;
    });
}

STDMETHODIMP CPropertyHandler::Commit() {
    return guarded_call([&] {
        Exclusive held(lock);
        if (!initialized)
            return E_UNEXPECTED;
        if (!changed)
            return S_OK;
        if (!writable)
            return STG_E_ACCESSDENIED;
        // The marker as it is now: the editor may have changed it since the
        // stream was read.
        int32_t kind = -1;
        std::string stored;
        if (item_info(0, path.c_str()).read_stream(stored, &kind) != ERROR_SUCCESS || kind < 0 ||
            kind > 5)
            kind = 0;
        // The shell or the indexer hosts this: no box, no elevation prompt.
        QuietStoreReports quiet;
        DWORD code = info_holder.add_description(path.c_str(), kind, ansi_text.c_str());
        if (code != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(code);
        described = true;
        icon_kind = kind;
        changed = false;
        return S_OK;
    });
}

STDMETHODIMP CPropertyHandler::IsPropertyWritable(REFPROPERTYKEY key) {
    if (is_null(&key))
        return E_POINTER;
    Exclusive held(lock);
    return is_key(key, description_property_key) && writable ? S_OK : S_FALSE;
}
