#pragma once

#include <windows.h>
#include <shlobj.h>

// One of the six overlay identifiers: an item shows this object's marker
// when its description carries `icon_kind`.
class COverlayIconProvider : public IShellIconOverlayIdentifier {
  public:
    explicit COverlayIconProvider(int kind);
    COverlayIconProvider(const COverlayIconProvider &) = delete;
    COverlayIconProvider &operator=(const COverlayIconProvider &) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void **out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP IsMemberOf(LPCWSTR path, DWORD attributes) override;
    STDMETHODIMP GetOverlayInfo(LPWSTR icon_file, int capacity, int *index, DWORD *flags) override;
    STDMETHODIMP GetPriority(int *priority) override;

  private:
    virtual ~COverlayIconProvider();

    volatile LONG ref_count;
    int icon_kind;
};

// The marker kind the shell should show for `path`: the index's answer, or
// for a path it does not know, the kind stored on the item, which is then
// remembered. -1 for no marker.
int overlay_kind_of(const wchar_t *path);
