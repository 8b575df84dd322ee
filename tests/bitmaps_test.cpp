#include "tests/dll_fixture.h"
#include "tests/drop_data.h"

#include <cstring>

#include "module/class_ids.h"
#include "module/module_start_up.h"
#include "ui/bitmaps.h"

namespace {

// A bitmap resource as windres stores one: the information header, then
// bottom-up rows of blue, green, red padded to four bytes.
std::string resource_of(const std::vector<COLORREF> &row, int height = 1) {
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = static_cast<LONG>(row.size());
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    std::string bytes(reinterpret_cast<const char *>(&header), sizeof header);
    for (int y = 0; y < height; ++y) {
        std::string line;
        for (COLORREF c : row) {
            line += static_cast<char>(GetBValue(c));
            line += static_cast<char>(GetGValue(c));
            line += static_cast<char>(GetRValue(c));
        }
        line.resize((line.size() + 3) & ~size_t(3), '\0');
        bytes += line;
    }
    return bytes;
}

COLORREF pixel(const std::vector<BYTE> &pixels, int x) {
    return RGB(pixels[3 * x + 2], pixels[3 * x + 1], pixels[3 * x]);
}

BITMAPINFOHEADER &header_of(std::string &resource) {
    return *reinterpret_cast<BITMAPINFOHEADER *>(&resource[0]);
}

} // namespace

TEST(Tinting, GreysBecomeShadesOfTheMenuColourAndColoursStay) {
    std::string resource = resource_of(
        {RGB(200, 200, 200), RGB(230, 230, 230), RGB(100, 100, 100), RGB(255, 0, 0), RGB(0, 0, 0)});
    BITMAPINFOHEADER header;
    std::vector<BYTE> pixels;
    ASSERT_TRUE(
        tint_bitmap_resource(resource.data(), resource.size(), RGB(240, 240, 240), header, pixels));
    EXPECT_EQ(RGB(240, 240, 240), pixel(pixels, 0));
    EXPECT_EQ(RGB(255, 255, 255), pixel(pixels, 1));
    EXPECT_EQ(RGB(140, 140, 140), pixel(pixels, 2));
    EXPECT_EQ(RGB(255, 0, 0), pixel(pixels, 3));
    EXPECT_EQ(RGB(40, 40, 40), pixel(pixels, 4)) << "black is a grey too";
    // A coloured menu: each channel moves by the grey's distance from 200.
    ASSERT_TRUE(
        tint_bitmap_resource(resource.data(), resource.size(), RGB(212, 208, 200), header, pixels));
    EXPECT_EQ(RGB(212, 208, 200), pixel(pixels, 0));
    EXPECT_EQ(RGB(242, 238, 230), pixel(pixels, 1));
    EXPECT_EQ(RGB(12, 8, 0), pixel(pixels, 4));
}

TEST(Tinting, OnlyWhatTheHeaderDescribesAndTheResourceHoldsIsRead) {
    const std::vector<COLORREF> row(48, RGB(200, 200, 200));
    struct {
        const char *what;
        void (*damage)(std::string &);
    } cases[] = {
        {"rows cut short", [](std::string &r) { r.resize(r.size() - 1); }},
        {"a taller picture than the rows", [](std::string &r) { header_of(r).biHeight = 34; }},
        {"a wider picture than the rows", [](std::string &r) { header_of(r).biWidth = 49; }},
        {"top-down rows", [](std::string &r) { header_of(r).biHeight = -33; }},
        {"8 bits per pixel", [](std::string &r) { header_of(r).biBitCount = 8; }},
        {"32 bits per pixel", [](std::string &r) { header_of(r).biBitCount = 32; }},
        {"compressed", [](std::string &r) { header_of(r).biCompression = BI_RLE8; }},
        {"a colour table", [](std::string &r) { header_of(r).biClrUsed = 4; }},
        {"a larger header", [](std::string &r) { header_of(r).biSize = 124; }},
        {"no width", [](std::string &r) { header_of(r).biWidth = 0; }},
        {"a width whose rows overflow", [](std::string &r) { header_of(r).biWidth = 0x7FFFFFFF; }},
        {"a height whose rows overflow",
         [](std::string &r) { header_of(r).biHeight = 0x7FFFFFFF; }},
        {"only a part of the header", [](std::string &r) { r.resize(20); }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string resource = resource_of(row, 33);
        c.damage(resource);
        BITMAPINFOHEADER header = {};
        std::vector<BYTE> pixels(3, 7);
        EXPECT_FALSE(tint_bitmap_resource(resource.data(), resource.size(), RGB(240, 240, 240),
                                          header, pixels));
        EXPECT_EQ(std::vector<BYTE>(3, 7), pixels);
    }
    BITMAPINFOHEADER header;
    std::vector<BYTE> pixels;
    EXPECT_FALSE(tint_bitmap_resource(nullptr, 100, 0, header, pixels));
    std::string whole = resource_of(row, 33);
    EXPECT_TRUE(tint_bitmap_resource(whole.data(), whole.size(), 0, header, pixels));
    EXPECT_EQ(144u * 33, pixels.size());
}

// The library's own bitmaps, loaded from the built DLL.
TEST_F(DllTest, BitmapsAreLoadedOnceAndTintedToTheMenu) {
    HINSTANCE own = module_instance;
    COLORREF own_menu = menu_colour;
    module_instance = dll_;
    menu_colour = RGB(240, 240, 240);
    HBITMAP tick = GetBitmap(217, true);
    ASSERT_NE(nullptr, tick);
    EXPECT_EQ(tick, GetBitmap(217, true));
    EXPECT_EQ(tick, GetBitmap(217, false)) << "one id is cached however it is asked for";
    BITMAP info = {};
    ASSERT_TRUE(GetObjectW(tick, sizeof info, &info));
    EXPECT_EQ(48, info.bmWidth);
    EXPECT_EQ(33, info.bmHeight);
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(dc, tick);
    EXPECT_EQ(RGB(240, 240, 240), GetPixel(dc, 0, 0)) << "the grey around the disc";
    SelectObject(dc, old);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);

    // Sizes and depths as stored: the tinting loader takes only 24 bits,
    // the menu's colour mapping needs a colour table.
    for (int id : {202, 208, 209, 210, 212, 217, 218, 219, 220, 221, 222, 248, 250, 251, 252, 253,
                   254, 255, 256}) {
        SCOPED_TRACE(id);
        HRSRC found = FindResourceW(dll_, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(2));
        ASSERT_NE(nullptr, found);
        BITMAPINFOHEADER stored;
        memcpy(&stored, LockResource(LoadResource(dll_, found)), sizeof stored);
        bool large = id >= 208 && id <= 222;
        EXPECT_EQ(large ? 48 : 16, stored.biWidth);
        EXPECT_EQ(large ? 33 : 16, stored.biHeight);
        EXPECT_EQ(id == 202 || id == 248 ? 8 : 24, stored.biBitCount);
        EXPECT_NE(nullptr, GetBitmap(id, large));
    }
    EXPECT_EQ(nullptr, GetBitmap(9999, true));
    EXPECT_NE(nullptr, GetMenuEntryBitmap());
    EXPECT_EQ(GetMenuEntryBitmap(), GetMenuEntryBitmap());
    module_instance = own;
    menu_colour = own_menu;
}

// A library freed takes its cached bitmaps along: a host that loads and
// frees it again and again collects none.
TEST_F(DllTest, CachedBitmapsGoWithTheLibrary) {
    std::string file = make_file("a.txt");
    auto *init = create<IShellExtInit>(main_clsid, IID_IShellExtInit);
    ASSERT_NE(nullptr, init);
    DropData *data = DropData::of_names({wide(file)});
    init->Initialize(nullptr, data, nullptr);
    data->Release();
    IContextMenu *handler = nullptr;
    init->QueryInterface(IID_IContextMenu, reinterpret_cast<void **>(&handler));
    init->Release();
    ASSERT_NE(nullptr, handler);
    HMENU menu = CreatePopupMenu();
    handler->QueryContextMenu(menu, 0, 100, 200, CMF_NORMAL);
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_CHECKMARKS;
    ASSERT_TRUE(GetMenuItemInfoW(menu, 0, TRUE, &item));
    handler->Release();
    DestroyMenu(menu);
    ASSERT_EQ(S_OK, can_unload_now());
    EXPECT_EQ(static_cast<DWORD>(OBJ_BITMAP), GetObjectType(item.hbmpUnchecked))
        << "still cached while the library is loaded";
    FreeLibrary(dll_);
    dll_ = nullptr;
    EXPECT_EQ(0u, GetObjectType(item.hbmpUnchecked));
}
