#pragma once

#include <windows.h>
#include <shellapi.h>

#include "tests/dll_fixture.h"
#include "tests/message_box_catcher.h"

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

// The shell's side of the editor: a right click, the menu entry, and the
// windows that open, read back through their controls.
class EditorTest : public DllTest {
  protected:
    void TearDown() override;

    // Initialize with `names`, QueryContextMenu on a fresh menu, then the
    // entry's command; the result of InvokeCommand.
    HRESULT invoke(const std::vector<std::wstring> &names);
    HRESULT invoke(const std::string &path) { return invoke({wide(path)}); }

    // Dispatches this thread's messages for `ms` milliseconds.
    static void pump(DWORD ms = 50);
    static HWND editor_window();
    // The text window of this process: the pop-up holding text box 202.
    static HWND text_window();
    static HWND text_box();
    static HWND toolbar();
    static std::wstring title(HWND window);
    static std::string read_stream(const std::string &path, int *kind = nullptr);
    // Presses a toolbar button as a click does: the command reaches the
    // editor through its window procedure.
    static void press(int command);
    // Replaces the text box's text as a paste does.
    void type(const std::string &text);
    // The column's value of `path`, empty when it has none.
    std::wstring column_text(const std::string &path);
};
