#pragma once

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

// The main shell handler: the info tip of an item (IPersistFile, IQueryInfo)
// and, through IShellExtInit and IContextMenu, the "Manage Description" menu
// entry. Its IUnknown identity is the IShellExtInit entry.
class CCInfo : public IPersistFile, public IShellExtInit, public IContextMenu, public IQueryInfo {
  public:
    CCInfo();
    CCInfo(const CCInfo &) = delete;
    CCInfo &operator=(const CCInfo &) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPersistFile
    STDMETHODIMP GetClassID(CLSID *clsid) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPCOLESTR file_name, DWORD mode) override;
    STDMETHODIMP Save(LPCOLESTR file_name, BOOL remember) override;
    STDMETHODIMP SaveCompleted(LPCOLESTR file_name) override;
    STDMETHODIMP GetCurFile(LPOLESTR *file_name) override;

    // IShellExtInit
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject *data, HKEY key) override;

    // IContextMenu
    STDMETHODIMP QueryContextMenu(HMENU menu, UINT index, UINT first, UINT last,
                                  UINT flags) override;
    STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO *info) override;
    STDMETHODIMP GetCommandString(UINT_PTR command, UINT type, UINT *reserved, CHAR *name,
                                  UINT size) override;

    // IQueryInfo
    STDMETHODIMP GetInfoTip(DWORD flags, WCHAR **tip) override;
    STDMETHODIMP GetInfoFlags(DWORD *flags) override;

  private:
    virtual ~CCInfo();

    volatile LONG ref_count;
    std::wstring item_path;
};
