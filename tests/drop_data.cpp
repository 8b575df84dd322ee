#include "tests/drop_data.h"

#include <cstring>

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
