#include "tests/dll_fixture.h"

#include <propsys.h>

#include "module/class_ids.h"
#include "shell/property_handler.h"

namespace {

class PropertyHandler : public DllTest {
  protected:
    // The handler as Explorer gets it: created, initialised with the path.
    IPropertyStore *open(const std::wstring &path, DWORD mode, HRESULT *initialized = nullptr) {
        auto *init = create<IInitializeWithFile>(property_handler_clsid, IID_IInitializeWithFile);
        if (!init)
            return nullptr;
        HRESULT hr = init->Initialize(path.c_str(), mode);
        if (initialized)
            *initialized = hr;
        IPropertyStore *store = nullptr;
        init->QueryInterface(IID_IPropertyStore, reinterpret_cast<void **>(&store));
        init->Release();
        return store;
    }
    // The description ("<empty>" for no value) and the marker (-1 for none).
    static std::wstring text_of(IPropertyStore *store) {
        PROPVARIANT value;
        EXPECT_EQ(S_OK, store->GetValue(description_property_key, &value));
        std::wstring text = value.vt == VT_LPWSTR ? value.pwszVal : L"<empty>";
        EXPECT_TRUE(value.vt == VT_LPWSTR || value.vt == VT_EMPTY) << value.vt;
        PropVariantClear(&value);
        return text;
    }
    static int marker_of(IPropertyStore *store) {
        PROPVARIANT value;
        EXPECT_EQ(S_OK, store->GetValue(marker_property_key, &value));
        int marker = value.vt == VT_UI4 ? static_cast<int>(value.ulVal) : -1;
        EXPECT_TRUE(value.vt == VT_UI4 || value.vt == VT_EMPTY) << value.vt;
        PropVariantClear(&value);
        return marker;
    }
};

// Whatever a stream holds, damaged ones included, the handler answers
// with what the store would read, and nothing from a look-alike file.
TEST_F(PropertyHandler, ReadsTheStreamAsTheStoreDoes) {
    std::string lookalike = make_file("Lodz.txt");
    write_stream(lookalike, 1, "the look-alike's");
    const struct {
        std::wstring name;
        const char *stream; // null: no stream
        size_t stream_size;
        std::wstring text;
        int marker;
    } cases[] = {
        {L"minutes.txt", "\x03\0\0\0Minutes of the May meeting", 30, L"Minutes of the May meeting",
         3},
        {L"plain.txt", nullptr, 0, L"<empty>", -1},
        {L"kind only.txt", "\x02\0\0\0", 4, L"", 2},
        {L"latin.txt", "\x05\0\0\0caf\xe9", 8, L"caf\xe9", 5},
        {L"empty stream.txt", "", 0, L"", -1},
        {L"half a kind.txt", "\x01\0", 2, L"", -1},
        {L"wild kind.txt", "\x4d\0\0\0text", 8, L"text", -1},
        {L"embedded zero.txt", "\0\0\0\0ab\0cd", 9, L"ab", 0},
        {L"\x0141odz.txt", nullptr, 0, L"<empty>", -1},
    };
    std::string too_long = std::string("\x01\0\0\0", 4) + std::string(3000, 'x');
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
        std::wstring path = wide(data_) + c.name;
        HANDLE file =
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        CloseHandle(file);
        if (c.stream) {
            std::string narrow(path.begin(), path.end());
            ASSERT_TRUE(write_whole_file(narrow + ":plivar", std::string(c.stream, c.stream_size)));
        }
        HRESULT initialized = E_FAIL;
        IPropertyStore *store = open(path, STGM_READ, &initialized);
        ASSERT_NE(nullptr, store);
        EXPECT_EQ(S_OK, initialized);
        EXPECT_EQ(c.text, text_of(store));
        EXPECT_EQ(c.marker, marker_of(store));
        store->Release();
    }
    std::string long_file = make_file("too long.txt");
    ASSERT_TRUE(write_whole_file(long_file + ":plivar", too_long));
    IPropertyStore *store = open(wide(long_file), STGM_READ);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ(L"", text_of(store));
    EXPECT_EQ(1, marker_of(store));
    DWORD count = 0;
    PROPERTYKEY key;
    EXPECT_EQ(S_OK, store->GetCount(&count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(S_OK, store->GetAt(1, &key));
    EXPECT_TRUE(IsEqualPropertyKey(marker_property_key, key));
    EXPECT_EQ(E_INVALIDARG, store->GetAt(2, &key));
    EXPECT_EQ(E_POINTER, store->GetValue(description_property_key, nullptr));
    // A caller in C may hand over null for a key or a value.
    PROPVARIANT value;
    auto *c_store = reinterpret_cast<HRESULT(STDMETHODCALLTYPE *const *)(
        IPropertyStore *, const PROPERTYKEY *, const PROPVARIANT *)>(
        *reinterpret_cast<void ***>(store));
    EXPECT_EQ(E_POINTER, c_store[5](store, nullptr, &value));
    EXPECT_EQ(E_POINTER, c_store[6](store, &description_property_key, nullptr));
    store->Release();
    HRESULT initialized = S_OK;
    store = open(L"", STGM_READ, &initialized);
    EXPECT_EQ(E_INVALIDARG, initialized);
    ASSERT_NE(nullptr, store);
    EXPECT_EQ(L"<empty>", text_of(store));
    store->Release();
}

// An edit made in the Details pane is the item's description for every
// view; one the store cannot hold exactly changes nothing.
TEST_F(PropertyHandler, ACommittedEditIsWhatEveryViewReads) {
    std::wstring outside(L"Notes \x0141odz");
    std::wstring long_text(3000, L'y');
    const struct {
        const char *name;
        int kind; // -1: undescribed before
        DWORD mode;
        std::wstring text;
        HRESULT set, commit;
        std::string stored;      // what the stream holds after, kind first
        int kind_meanwhile = -1; // the marker the editor sets between reading and committing
    } cases[] = {
        {"edited.txt", 4, STGM_READWRITE, L"Edited in the Details pane", S_OK, S_OK,
         std::string("\x04\0\0\0Edited in the Details pane", 30)},
        {"new.txt", -1, STGM_READWRITE, L"First words", S_OK, S_OK,
         std::string("\0\0\0\0First words", 15)},
        {"outside.txt", 2, STGM_READWRITE, outside,
         HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION), S_OK,
         std::string("\x02\0\0\0as it was", 13)},
        {"long.txt", 1, STGM_READWRITE, long_text, INPLACE_S_TRUNCATED, S_OK,
         std::string("\x01\0\0\0", 4) + std::string(2048, 'y')},
        {"read only.txt", 3, STGM_READ, L"not taken", STG_E_ACCESSDENIED, S_OK,
         std::string("\x03\0\0\0as it was", 13)},
        {"remarked.txt", 4, STGM_READWRITE, L"Pane text", S_OK, S_OK,
         std::string("\x02\0\0\0Pane text", 13), 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = make_file(c.name);
        if (c.kind >= 0)
            write_stream(file, c.kind, "as it was");
        IPropertyStore *store = open(wide(file), c.mode);
        ASSERT_NE(nullptr, store);
        IPropertyStoreCapabilities *capabilities = nullptr;
        ASSERT_EQ(S_OK, store->QueryInterface(IID_IPropertyStoreCapabilities,
                                              reinterpret_cast<void **>(&capabilities)));
        EXPECT_EQ(c.mode == STGM_READ ? S_FALSE : S_OK,
                  capabilities->IsPropertyWritable(description_property_key));
        EXPECT_EQ(S_FALSE, capabilities->IsPropertyWritable(marker_property_key));
        capabilities->Release();

        PROPVARIANT value;
        value.vt = VT_LPWSTR;
        value.pwszVal = const_cast<wchar_t *>(c.text.c_str());
        EXPECT_EQ(c.set, store->SetValue(description_property_key, value));
        PROPVARIANT marker;
        marker.vt = VT_UI4;
        marker.ulVal = 5;
        EXPECT_EQ(STG_E_ACCESSDENIED, store->SetValue(marker_property_key, marker));
        if (c.kind_meanwhile >= 0)
            write_stream(file, c.kind_meanwhile, "as it was");
        EXPECT_EQ(c.commit, store->Commit());
        store->Release();

        std::string stream;
        EXPECT_TRUE(read_whole_file(file + ":plivar", stream));
        EXPECT_EQ(c.stored, stream);
        if (c.set != S_OK && c.set != INPLACE_S_TRUNCATED)
            continue;
        std::wstring expected = c.set == S_OK ? c.text : std::wstring(2048, L'y');
        VARIANT column;
        VariantInit(&column);
        ASSERT_EQ(S_OK, item_data(file, column));
        EXPECT_EQ(expected, V_BSTR(&column));
        VariantClear(&column);
        EXPECT_EQ(expected, info_tip(file));
        std::string shown = temp_.path() + "shown.txt";
        std::string command = "cmd.exe /c \"\"" + build_output_folder() +
                              "quillarvent.exe\" show --tsv \"" + file + "\" > \"" + shown + "\"\"";
        EXPECT_EQ(0u, run_program(command));
        std::string output;
        ASSERT_TRUE(read_whole_file(shown, output));
        std::string kind_text = std::to_string(c.stored[0]);
        EXPECT_EQ(0u, output.find(kind_text + "\t" + file + "\t" +
                                  std::string(expected.begin(), expected.end())))
            << output.substr(0, 80);
    }
}

} // namespace
