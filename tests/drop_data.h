#pragma once

#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

#include <string>
#include <vector>

// A data object as the shell hands one to a context-menu handler: CF_HDROP
// holding a drop list. `block` is the whole DROPFILES memory, so a test can
// also hand over what a careless or hostile caller would.
class DropData : public IDataObject {
  public:
    static DropData *of_names(const std::vector<std::wstring> &names);
    static DropData *of_block(const std::string &block);
    static DropData *without_drop_list();

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetData(FORMATETC *format, STGMEDIUM *medium) override;
    STDMETHODIMP GetDataHere(FORMATETC *, STGMEDIUM *) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC *format) override;
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC *, FORMATETC *) override { return E_NOTIMPL; }
    STDMETHODIMP SetData(FORMATETC *, STGMEDIUM *, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC **) override { return E_NOTIMPL; }
    STDMETHODIMP DAdvise(FORMATETC *, DWORD, IAdviseSink *, DWORD *) override { return E_NOTIMPL; }
    STDMETHODIMP DUnadvise(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA **) override { return E_NOTIMPL; }

  private:
    DropData() = default;
    virtual ~DropData() = default;
    LONG refs_ = 1;
    bool has_drop_ = true;
    std::string block_;
};
