#pragma once

#include <windows.h>
#include <propsys.h>

#include <cstdint>
#include <string>

// The product's own properties, as the schema file beside the library
// describes them: the description text and the marker kind.
inline constexpr GUID description_properties_fmtid = {
    0x7C3E9A51, 0x2B84, 0x4F6D, {0x9E, 0x17, 0x5A, 0x0C, 0x8B, 0x3D, 0x6F, 0x28}};
inline constexpr PROPERTYKEY description_property_key = {description_properties_fmtid, 2};
inline constexpr PROPERTYKEY marker_property_key = {description_properties_fmtid, 3};

// The property handler Explorer and the search indexer ask for an item's
// properties: its description and marker, read from the item's stream
// once, at initialisation. The description may be changed and committed.
class CPropertyHandler : public IPropertyStore,
                         public IInitializeWithFile,
                         public IPropertyStoreCapabilities {
  public:
    CPropertyHandler();
    CPropertyHandler(const CPropertyHandler &) = delete;
    CPropertyHandler &operator=(const CPropertyHandler &) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Initialize(LPCWSTR path, DWORD mode) override;

    STDMETHODIMP GetCount(DWORD *count) override;
    STDMETHODIMP GetAt(DWORD index, PROPERTYKEY *key) override;
    STDMETHODIMP GetValue(REFPROPERTYKEY key, PROPVARIANT *value) override;
    STDMETHODIMP SetValue(REFPROPERTYKEY key, REFPROPVARIANT value) override;
    STDMETHODIMP Commit() override;

    STDMETHODIMP IsPropertyWritable(REFPROPERTYKEY key) override;

  private:
    virtual ~CPropertyHandler();

    volatile LONG ref_count;
    SRWLOCK lock;
    bool initialized = false;
    bool writable = false; // opened for writing, on a path the store may hold
    bool described = false;
    bool changed = false;
    std::wstring path;
    int32_t icon_kind = -1;
    std::wstring text;     // as shown
    std::string ansi_text; // as it is to be stored
};
