#include "tests/ui_fixture.h"

#include <thread>

#include "module/class_ids.h"

namespace {

const HRESULT one_command = MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);

int entries_in(HMENU menu) {
    int found = 0;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[64] = L"";
        GetMenuStringW(menu, i, text, 64, MF_BYPOSITION);
        found += lstrcmpW(text, L"Manage Description") == 0;
    }
    return found;
}

} // namespace

class ContextMenu : public EditorTest {
  protected:
    // A new main handler given `data`; the result of Initialize in `init`.
    IContextMenu *handler_for(DropData *data, HRESULT *init = nullptr) {
        auto *ext = create<IShellExtInit>(main_clsid, IID_IShellExtInit);
        if (!ext)
            return nullptr;
        HRESULT hr = ext->Initialize(nullptr, data, nullptr);
        if (init)
            *init = hr;
        if (data)
            data->Release();
        IContextMenu *menu = nullptr;
        ext->QueryInterface(IID_IContextMenu, reinterpret_cast<void **>(&menu));
        ext->Release();
        return menu;
    }
    IContextMenu *handler_for(const std::string &path) {
        return handler_for(DropData::of_names({wide(path)}));
    }
};

TEST_F(ContextMenu, OnlyAWholeFirstNameOfADropListIsTaken) {
    std::string file = make_file("a.txt");
    std::string too_long = "C:\\" + std::string(MAX_PATH, 'n');
    DROPFILES header = {sizeof(DROPFILES), {}, FALSE, TRUE};
    std::string unterminated(reinterpret_cast<const char *>(&header), sizeof header);
    unterminated.append(reinterpret_cast<const char *>(L"C:\\data\\a.txt"), 13 * sizeof(wchar_t));
    DROPFILES outside = {0x7FFFFFF0, {}, FALSE, TRUE};
    struct {
        const char *what;
        DropData *data;
        HRESULT init;
        int entries;
    } cases[] = {
        {"one file", DropData::of_names({wide(file)}), S_OK, 1},
        {"three files", DropData::of_names({wide(file), L"C:\\b.txt", L"C:\\c.txt"}), S_OK, 1},
        {"no drop list", DropData::without_drop_list(), E_INVALIDARG, 0},
        {"empty drop list", DropData::of_names({}), E_INVALIDARG, 0},
        {"a name that does not fit", DropData::of_names({wide(too_long), wide(file)}), E_INVALIDARG,
         0},
        {"names without their end", DropData::of_block(unterminated), E_INVALIDARG, 0},
        {"names outside the block",
         DropData::of_block(std::string(reinterpret_cast<const char *>(&outside), sizeof outside) +
                            std::string(8, '\0')),
         E_INVALIDARG, 0},
        {"no data object", nullptr, E_INVALIDARG, 0},
        {"a drive root", DropData::of_names({L"C:\\"}), S_OK, 0},
        {"a pipe", DropData::of_names({L"\\\\.\\pipe\\x", wide(file)}), E_INVALIDARG, 0},
        {"a relative name", DropData::of_names({L"a.txt"}), E_INVALIDARG, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        HRESULT init = E_UNEXPECTED;
        IContextMenu *handler = handler_for(c.data, &init);
        ASSERT_NE(nullptr, handler);
        EXPECT_EQ(c.init, init);
        HMENU menu = CreatePopupMenu();
        EXPECT_EQ(one_command, handler->QueryContextMenu(menu, 0, 100, 200, CMF_NORMAL));
        EXPECT_EQ(c.entries, entries_in(menu));
        EXPECT_EQ(c.entries, GetMenuItemCount(menu));
        DestroyMenu(menu);
        handler->Release();
    }
}

TEST_F(ContextMenu, OneEntryPerMenuWithItsBitmap) {
    std::string file = make_file("a.txt");
    IContextMenu *first = handler_for(file);
    IContextMenu *second = handler_for(file);
    ASSERT_TRUE(first && second);

    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 1, L"Open");
    EXPECT_EQ(MAKE_HRESULT(SEVERITY_SUCCESS, 0, 0),
              first->QueryContextMenu(menu, 0, 100, 200, CMF_DEFAULTONLY));
    EXPECT_EQ(0, entries_in(menu));
    EXPECT_EQ(one_command, first->QueryContextMenu(menu, 1, 100, 200, CMF_NORMAL));
    ASSERT_EQ(1, entries_in(menu));
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_CHECKMARKS;
    ASSERT_TRUE(GetMenuItemInfoW(menu, 1, TRUE, &item));
    EXPECT_EQ(100u, item.wID);
    EXPECT_NE(nullptr, item.hbmpUnchecked);
    EXPECT_EQ(item.hbmpChecked, item.hbmpUnchecked);

    // The shell asks again for the same menu, from this object or another.
    EXPECT_EQ(one_command, first->QueryContextMenu(menu, 0, 300, 400, CMF_NORMAL));
    EXPECT_EQ(one_command, second->QueryContextMenu(menu, 0, 300, 400, CMF_NORMAL));
    EXPECT_EQ(1, entries_in(menu));
    // What decides is the menu's content, not its handle: the same handle
    // without the entry (as a reused handle of a new menu would be) gets it.
    ASSERT_TRUE(RemoveMenu(menu, 1, MF_BYPOSITION));
    EXPECT_EQ(one_command, second->QueryContextMenu(menu, 0, 300, 400, CMF_NORMAL));
    EXPECT_EQ(1, entries_in(menu));
    DestroyMenu(menu);

    for (int i = 0; i < 3; ++i) {
        HMENU fresh = CreatePopupMenu();
        EXPECT_EQ(one_command, second->QueryContextMenu(fresh, 0, 100, 200, CMF_NORMAL));
        EXPECT_EQ(1, entries_in(fresh));
        DestroyMenu(fresh);
    }
    first->Release();
    second->Release();
}

TEST_F(ContextMenu, CommandsOfOtherHandlersFailAndOpenNothing) {
    std::string file = make_file("a.txt");
    IContextMenu *handler = handler_for(file);
    ASSERT_NE(nullptr, handler);
    HMENU menu = CreatePopupMenu();
    handler->QueryContextMenu(menu, 0, 100, 200, CMF_NORMAL);

    CMINVOKECOMMANDINFOEX info = {};
    info.cbSize = sizeof info;
    info.lpVerb = "open";
    EXPECT_EQ(E_FAIL, handler->InvokeCommand(reinterpret_cast<CMINVOKECOMMANDINFO *>(&info)));
    info.lpVerb = MAKEINTRESOURCEA(1);
    EXPECT_EQ(E_FAIL, handler->InvokeCommand(reinterpret_cast<CMINVOKECOMMANDINFO *>(&info)));
    info.lpVerb = MAKEINTRESOURCEA(0);
    info.lpVerbW = L"properties";
    info.fMask = CMIC_MASK_UNICODE;
    EXPECT_EQ(E_FAIL, handler->InvokeCommand(reinterpret_cast<CMINVOKECOMMANDINFO *>(&info)));
    EXPECT_EQ(E_INVALIDARG, handler->InvokeCommand(nullptr));
    pump();
    EXPECT_EQ(nullptr, editor_window());
    // No entry was offered for a drive root, so its command opens nothing.
    EXPECT_EQ(E_FAIL, invoke(std::vector<std::wstring>{L"C:\\"}));
    EXPECT_EQ(nullptr, editor_window());

    char name[64] = "unchanged";
    EXPECT_EQ(E_NOTIMPL, handler->GetCommandString(0, GCS_HELPTEXTA, nullptr, name, 64));
    EXPECT_STREQ("unchanged", name);
    DestroyMenu(menu);
    handler->Release();
}

TEST_F(ContextMenu, TheMenuWithItsEntryAsTheUserSeesIt) {
    std::string file = make_file("a.txt");
    IContextMenu *handler = handler_for(file);
    ASSERT_NE(nullptr, handler);
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 1, L"Open");
    AppendMenuW(menu, MF_STRING, 2, L"Copy");
    handler->QueryContextMenu(menu, 1, 100, 200, CMF_NORMAL);
    HWND owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 100, 100, 10, 10,
                                 nullptr, nullptr, nullptr, nullptr);
    bool shot = false;
    std::thread closer([&] {
        Sleep(700);
        RECT area = {100, 100, 400, 260};
        shot = take_screenshot("context_menu", area);
        PostMessageW(owner, WM_CANCELMODE, 0, 0);
    });
    SetForegroundWindow(owner);
    TrackPopupMenu(menu, TPM_RETURNCMD | TPM_LEFTALIGN, 110, 110, 0, owner, nullptr);
    closer.join();
    EXPECT_TRUE(shot);
    DestroyWindow(owner);
    DestroyMenu(menu);
    handler->Release();
}
