#pragma once

#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>

#include <string>

#include "tests/test_support.h"

// Loads the built plivar_23.dll from a fresh ...\Tools\ folder, with an empty
// configuration folder, and reaches it only through its exports, as the
// shell does.
class DllTest : public ::testing::Test {
  public:
    // Each byte as the character of that number: ASCII, and Latin-1 beyond.
    static std::wstring wide(const std::string &s) {
        std::wstring w;
        for (char c : s)
            w += static_cast<wchar_t>(static_cast<unsigned char>(c));
        return w;
    }

  protected:
    void SetUp() override;
    void TearDown() override;

    HRESULT get_class_object(const GUID &clsid, REFIID iid, void **out);
    HRESULT can_unload_now() { return dll_can_unload_now_(); }
    // Creates an object through the DLL's class factory.
    template <typename I> I *create(const GUID &clsid, REFIID iid) {
        IClassFactory *factory = nullptr;
        void *object = nullptr;
        if (SUCCEEDED(
                get_class_object(clsid, IID_IClassFactory, reinterpret_cast<void **>(&factory)))) {
            factory->CreateInstance(nullptr, iid, &object);
            factory->Release();
        }
        return static_cast<I *>(object);
    }

    std::string make_file(const std::string &name, const std::string &content = "data");
    std::string make_folder(const std::string &name);
    // Writes a description stream as another machine would have left it.
    static void write_stream(const std::string &path, int kind, const std::string &text);
    // The answer of the overlay object for `kind`; the first question about
    // a path also enters a stream found on it into the index.
    HRESULT is_member(int kind, const std::string &path);
    std::wstring info_tip(const std::string &path, bool *had_tip = nullptr);
    // The column provider's value for `path`.
    HRESULT item_data(const std::string &path, VARIANT &value, ULONG pid = 0);
    std::string index_file_bytes();

    TempFolder temp_;
    std::string tools_;
    std::string data_;
    std::string config_folder_;
    HMODULE dll_ = nullptr;

  private:
    HRESULT(WINAPI *dll_get_class_object_)(REFCLSID, REFIID, void **) = nullptr;
    HRESULT(WINAPI *dll_can_unload_now_)() = nullptr;
};
