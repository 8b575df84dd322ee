#include "tests/dll_fixture.h"

#include "module/class_ids.h"

namespace {

const GUID unknown_clsid = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

ULONG ref_count_of(IUnknown *object) {
    object->AddRef();
    return object->Release();
}

typedef DllTest ComServer;

// Loading the library does nothing; the first call into an export starts it,
// and then the overlay icons lie beside it.
TEST_F(ComServer, FirstExportedCallRunsTheStartUp) {
    EXPECT_FALSE(path_exists(tools_ + "images"));
    EXPECT_EQ(S_OK, can_unload_now());
    EXPECT_FALSE(path_exists(tools_ + "images"));
    IClassFactory *factory = nullptr;
    ASSERT_EQ(S_OK,
              get_class_object(main_clsid, IID_IClassFactory, reinterpret_cast<void **>(&factory)));
    factory->Release();
    for (int i = 0; i < 6; ++i) {
        std::string bytes;
        ASSERT_TRUE(read_whole_file(tools_ + "images\\icon" + std::to_string(i) + ".png", bytes));
        EXPECT_TRUE(bytes == rcdata_bytes(dll_, 241 + i)) << i;
    }
}

TEST_F(ComServer, CountsFactoriesObjectsAndLocks) {
    EXPECT_EQ(S_OK, can_unload_now());
    IClassFactory *factory = nullptr;
    ASSERT_EQ(S_OK,
              get_class_object(main_clsid, IID_IClassFactory, reinterpret_cast<void **>(&factory)));
    EXPECT_EQ(S_FALSE, can_unload_now());
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    IUnknown *object = nullptr;
    ASSERT_EQ(S_OK,
              factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)));
    EXPECT_EQ(1u, ref_count_of(object));
    EXPECT_EQ(0u, factory->Release());
    EXPECT_EQ(S_FALSE, can_unload_now()); // the object and the lock
    EXPECT_EQ(0u, object->Release());
    EXPECT_EQ(S_FALSE, can_unload_now()); // the lock
    ASSERT_EQ(S_OK,
              get_class_object(main_clsid, IID_IClassFactory, reinterpret_cast<void **>(&factory)));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    factory->Release();
    EXPECT_EQ(S_OK, can_unload_now());
}

TEST_F(ComServer, RefusesAggregationUnknownClassesAndInterfaces) {
    IClassFactory *factory = nullptr;
    ASSERT_EQ(S_OK, get_class_object(overlay_clsid(1), IID_IClassFactory,
                                     reinterpret_cast<void **>(&factory)));
    void *out = reinterpret_cast<void *>(0xdeadbeef);
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              factory->CreateInstance(reinterpret_cast<IUnknown *>(factory), IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    out = reinterpret_cast<void *>(0xdeadbeef);
    EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(IID_IPersistFile, &out));
    EXPECT_EQ(nullptr, out);
    out = reinterpret_cast<void *>(0xdeadbeef);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IColumnProvider, &out));
    EXPECT_EQ(nullptr, out);
    factory->Release();

    ASSERT_EQ(S_OK, get_class_object(unknown_clsid, IID_IClassFactory,
                                     reinterpret_cast<void **>(&factory)));
    out = reinterpret_cast<void *>(0xdeadbeef);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    factory->Release();
    EXPECT_EQ(E_POINTER, get_class_object(main_clsid, IID_IClassFactory, nullptr));
}

TEST_F(ComServer, EachClassAnswersItsOwnInterfaces) {
    auto *overlay =
        create<IShellIconOverlayIdentifier>(overlay_clsid(4), IID_IShellIconOverlayIdentifier);
    ASSERT_NE(nullptr, overlay);
    wchar_t icon[MAX_PATH];
    int index = -1;
    DWORD flags = 0;
    EXPECT_EQ(S_OK, overlay->GetOverlayInfo(icon, MAX_PATH, &index, &flags));
    EXPECT_EQ(14, index); // kind 4
    void *out = nullptr;
    EXPECT_EQ(E_NOINTERFACE, overlay->QueryInterface(IID_IQueryInfo, &out));
    overlay->Release();

    auto *info = create<IUnknown>(main_clsid, IID_IUnknown);
    ASSERT_NE(nullptr, info);
    IShellExtInit *init = nullptr;
    IPersistFile *file = nullptr;
    IQueryInfo *query = nullptr;
    IContextMenu *menu = nullptr;
    ASSERT_EQ(S_OK, info->QueryInterface(IID_IShellExtInit, reinterpret_cast<void **>(&init)));
    EXPECT_EQ(static_cast<void *>(info), static_cast<void *>(init));
    ASSERT_EQ(S_OK, info->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)));
    ASSERT_EQ(S_OK, file->QueryInterface(IID_IQueryInfo, reinterpret_cast<void **>(&query)));
    ASSERT_EQ(S_OK, query->QueryInterface(IID_IContextMenu, reinterpret_cast<void **>(&menu)));
    EXPECT_EQ(5u, ref_count_of(info));
    IUnknown *identity = nullptr;
    ASSERT_EQ(S_OK, menu->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identity)));
    EXPECT_EQ(static_cast<void *>(init), static_cast<void *>(identity));
    out = reinterpret_cast<void *>(0xdeadbeef);
    EXPECT_EQ(E_NOINTERFACE, file->QueryInterface(IID_IPersist, &out));
    EXPECT_EQ(nullptr, out);
    char name[16];
    EXPECT_EQ(E_NOTIMPL, menu->GetCommandString(0, GCS_VERBA, nullptr, name, sizeof(name)));
    DWORD info_flags = 0xdeadbeef;
    EXPECT_EQ(E_NOTIMPL, query->GetInfoFlags(&info_flags));
    EXPECT_EQ(E_POINTER, query->GetInfoTip(0, nullptr));
    EXPECT_EQ(E_INVALIDARG, file->Load(nullptr, 0));
    for (IUnknown *p : {static_cast<IUnknown *>(init), static_cast<IUnknown *>(file),
                        static_cast<IUnknown *>(query), static_cast<IUnknown *>(menu), identity})
        p->Release();
    EXPECT_EQ(0u, info->Release());

    auto *column = create<IColumnProvider>(column_clsid, IID_IColumnProvider);
    ASSERT_NE(nullptr, column);
    EXPECT_EQ(1u, ref_count_of(column));
    column->Release();
}

} // namespace
