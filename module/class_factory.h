#pragma once

#include <windows.h>
#include <unknwn.h>

// Hands out a factory for any class identifier; CreateInstance refuses the
// ones the library does not serve.
class CShellExtClassFactory : public IClassFactory {
  public:
    explicit CShellExtClassFactory(REFCLSID clsid);
    virtual ~CShellExtClassFactory();

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID iid, void **out) override;
    STDMETHODIMP LockServer(BOOL lock) override;

  private:
    volatile LONG ref_count;
    CLSID clsid;
};

HRESULT get_class_object(REFCLSID clsid, REFIID iid, void **out);
HRESULT can_unload_now();
