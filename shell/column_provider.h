#pragma once

#include <windows.h>
#include <shlobj.h>

// The "Quillarvent Description" column of the details view.
class CColumnProv : public IColumnProvider {
  public:
    CColumnProv();
    CColumnProv(const CColumnProv &) = delete;
    CColumnProv &operator=(const CColumnProv &) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Initialize(LPCSHCOLUMNINIT init) override;
    STDMETHODIMP GetColumnInfo(DWORD index, SHCOLUMNINFO *info) override;
    STDMETHODIMP GetItemData(LPCSHCOLUMNID column, LPCSHCOLUMNDATA item, VARIANT *value) override;

  private:
    virtual ~CColumnProv();

    volatile LONG ref_count;
};
