#include "tests/dll_fixture.h"

#include "module/class_ids.h"

void DllTest::SetUp() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    char common[MAX_PATH];
    ASSERT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common));
    config_folder_ = std::string(common) + "\\Quillarvent";
    delete_tree(config_folder_);
    ASSERT_TRUE(CreateDirectoryA(config_folder_.c_str(), nullptr));
    ASSERT_TRUE(write_whole_file(config_folder_ + "\\files.dat", ""));
    clear_user_keep_folder();

    tools_ = temp_.path() + "Tools\\";
    data_ = temp_.path() + "data\\";
    ASSERT_TRUE(CreateDirectoryA(tools_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(data_.c_str(), nullptr));
    dll_ = load_built_dll_from(tools_);
    ASSERT_NE(nullptr, dll_);
    dll_get_class_object_ = reinterpret_cast<decltype(dll_get_class_object_)>(
        reinterpret_cast<void *>(GetProcAddress(dll_, "DllGetClassObject")));
    dll_can_unload_now_ = reinterpret_cast<decltype(dll_can_unload_now_)>(
        reinterpret_cast<void *>(GetProcAddress(dll_, "DllCanUnloadNow")));
    ASSERT_TRUE(dll_get_class_object_ && dll_can_unload_now_);
}

void DllTest::TearDown() {
    if (dll_) {
        EXPECT_EQ(S_OK, dll_can_unload_now_()) << "an object of the library is still alive";
        FreeLibrary(dll_);
    }
    delete_tree(config_folder_);
    clear_user_keep_folder();
    CoUninitialize();
}

HRESULT DllTest::get_class_object(const GUID &clsid, REFIID iid, void **out) {
    return dll_get_class_object_(clsid, iid, out);
}

std::string DllTest::make_file(const std::string &name, const std::string &content) {
    std::string path = data_ + name;
    EXPECT_TRUE(write_whole_file(path, content));
    return path;
}

std::string DllTest::make_folder(const std::string &name) {
    std::string path = data_ + name;
    EXPECT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
    return path;
}

void DllTest::write_stream(const std::string &path, int kind, const std::string &text) {
    std::string record(reinterpret_cast<const char *>(&kind), 4);
    ASSERT_TRUE(write_whole_file(path + ":plivar", record + text));
}

HRESULT DllTest::is_member(int kind, const std::string &path) {
    auto *overlay =
        create<IShellIconOverlayIdentifier>(overlay_clsid(kind), IID_IShellIconOverlayIdentifier);
    if (!overlay)
        return E_UNEXPECTED;
    HRESULT hr = overlay->IsMemberOf(wide(path).c_str(), 0);
    overlay->Release();
    return hr;
}

std::wstring DllTest::info_tip(const std::string &path, bool *had_tip) {
    std::wstring result;
    auto *file = create<IPersistFile>(main_clsid, IID_IPersistFile);
    if (!file)
        return L"<no object>";
    IQueryInfo *query = nullptr;
    EXPECT_EQ(S_OK, file->Load(wide(path).c_str(), 0));
    EXPECT_EQ(S_OK, file->QueryInterface(IID_IQueryInfo, reinterpret_cast<void **>(&query)));
    if (query) {
        wchar_t *tip = reinterpret_cast<wchar_t *>(0xdeadbeef);
        EXPECT_EQ(S_OK, query->GetInfoTip(0, &tip));
        if (tip == reinterpret_cast<wchar_t *>(0xdeadbeef)) {
            ADD_FAILURE() << "GetInfoTip left its output unwritten";
            tip = nullptr;
        }
        if (had_tip)
            *had_tip = tip != nullptr;
        if (tip)
            result = tip;
        CoTaskMemFree(tip);
        query->Release();
    }
    file->Release();
    return result;
}

HRESULT DllTest::item_data(const std::string &path, VARIANT &value, ULONG pid) {
    auto *column = create<IColumnProvider>(column_clsid, IID_IColumnProvider);
    if (!column)
        return E_UNEXPECTED;
    SHCOLUMNID id = {main_clsid, pid};
    SHCOLUMNDATA data = {};
    lstrcpynW(data.wszFile, wide(path).c_str(), MAX_PATH);
    HRESULT hr = column->GetItemData(&id, &data, &value);
    column->Release();
    return hr;
}

std::string DllTest::index_file_bytes() {
    std::string bytes;
    read_whole_file(config_folder_ + "\\files.dat", bytes);
    return bytes;
}
