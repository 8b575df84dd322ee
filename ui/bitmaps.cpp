#include "ui/bitmaps.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <cstring>
#include <map>
#include <mutex>

#include "module/module_start_up.h"
#include "resources/resource.h"

namespace {

// Every shell thread that builds a menu or runs a window asks here.
std::mutex bitmap_lock;
struct cached_bitmap {
    HBITMAP bitmap;
    bool tinted;
};
std::map<int, cached_bitmap> bitmap_cache;
HBITMAP menu_entry_bitmap;
// The menu colour the cache was tinted to, and what an earlier colour left
// behind: a menu or the icon chooser may still draw it.
COLORREF cached_colour = CLR_INVALID;
std::vector<HBITMAP> retired_bitmaps;
HTHEME opened_theme;
bool theme_tried;

// Under bitmap_lock.
void retire_cache_if_colour_changed() {
    COLORREF now = menu_colour;
    if (now == cached_colour)
        return;
    cached_colour = now;
    try {
        retired_bitmaps.reserve(retired_bitmaps.size() + bitmap_cache.size() + 1);
    } catch (...) {
        // Without room to keep them they stay cached, in the old colour.
        return;
    }
    for (auto cached = bitmap_cache.begin(); cached != bitmap_cache.end();) {
        if (!cached->second.tinted) {
            ++cached;
            continue;
        }
        retired_bitmaps.push_back(cached->second.bitmap);
        cached = bitmap_cache.erase(cached);
    }
    if (menu_entry_bitmap)
        retired_bitmaps.push_back(menu_entry_bitmap);
    menu_entry_bitmap = nullptr;
}

const long largest_side = 1024;

BYTE clamp_level(int v) {
    return static_cast<BYTE>(v < 0 ? 0 : v > 255 ? 255 : v);
}

HBITMAP load_tinted(int id) {
    HRSRC found = FindResourceW(module_instance, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(2));
    if (!found)
        return nullptr;
    HGLOBAL loaded = LoadResource(module_instance, found);
    const void *resource = loaded ? LockResource(loaded) : nullptr;
    if (!resource)
        return nullptr;
    BITMAPINFOHEADER header;
    std::vector<BYTE> pixels;
    if (!tint_bitmap_resource(resource, SizeofResource(module_instance, found), menu_colour, header,
                              pixels))
        return nullptr;
    HDC screen = GetDC(nullptr);
    if (!screen)
        return nullptr;
    HBITMAP bitmap = CreateDIBitmap(screen, &header, CBM_INIT, pixels.data(),
                                    reinterpret_cast<BITMAPINFO *>(&header), DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    return bitmap;
}

} // namespace

bool tint_bitmap_resource(const void *resource, size_t size, COLORREF menu,
                          BITMAPINFOHEADER &header, std::vector<BYTE> &pixels) {
    if (!resource || size < sizeof(BITMAPINFOHEADER))
        return false;
    BITMAPINFOHEADER read;
    memcpy(&read, resource, sizeof read);
    if (read.biSize != sizeof(BITMAPINFOHEADER) || read.biPlanes != 1 || read.biBitCount != 24 ||
        read.biCompression != BI_RGB || read.biClrUsed != 0 || read.biWidth <= 0 ||
        read.biWidth > largest_side || read.biHeight <= 0 || read.biHeight > largest_side)
        return false;
    size_t row_length = ((24 * static_cast<size_t>(read.biWidth) + 31) & ~size_t(31)) / 8;
    size_t image_size = row_length * static_cast<size_t>(read.biHeight);
    if (size - sizeof(BITMAPINFOHEADER) < image_size)
        return false;
    const BYTE *rows = static_cast<const BYTE *>(resource) + sizeof(BITMAPINFOHEADER);
    try {
        pixels.assign(rows, rows + image_size);
    } catch (...) {
        return false;
    }
    int menu_red = GetRValue(menu), menu_green = GetGValue(menu), menu_blue = GetBValue(menu);
    for (long y = 0; y < read.biHeight; ++y) {
        BYTE *pixel = &pixels[y * row_length];
        for (long x = 0; x < read.biWidth; ++x, pixel += 3) {
            BYTE blue = pixel[0], green = pixel[1], red = pixel[2];
            if (blue != red || green != red)
                continue;
            int shift = red - 200;
            pixel[0] = clamp_level(menu_blue + shift);
            pixel[1] = clamp_level(menu_green + shift);
            pixel[2] = clamp_level(menu_red + shift);
        }
    }
    read.biSizeImage = static_cast<DWORD>(image_size);
    header = read;
    return true;
}

HBITMAP GetBitmap(int id, bool tinted) {
    std::lock_guard<std::mutex> lock(bitmap_lock);
    retire_cache_if_colour_changed();
    auto cached = bitmap_cache.find(id);
    if (cached != bitmap_cache.end())
        return cached->second.bitmap;
    HBITMAP bitmap = tinted ? load_tinted(id) : LoadBitmapW(module_instance, MAKEINTRESOURCEW(id));
    // A failed tinted load is not remembered: it is tried again next time.
    if (tinted && !bitmap)
        return nullptr;
    try {
        bitmap_cache[id] = cached_bitmap{bitmap, tinted};
    } catch (...) {
        // Callers never free what they get: an uncached bitmap would leak.
        if (bitmap)
            DeleteObject(bitmap);
        return nullptr;
    }
    return bitmap;
}

HBITMAP GetMenuEntryBitmap() {
    std::lock_guard<std::mutex> lock(bitmap_lock);
    // No window of the library need be open to hear of a new menu colour.
    menu_colour = GetSysColor(COLOR_MENU);
    retire_cache_if_colour_changed();
    if (menu_entry_bitmap)
        return menu_entry_bitmap;
    HTHEME theme = OpenThemeData(GetDesktopWindow(), L"MENU");
    HBITMAP bitmap = LoadBitmapW(module_instance, MAKEINTRESOURCEW(IDB_MENU_ENTRY));
    if (theme && GetThemeSysSize(theme, SM_CYSIZE) > 16) {
        COLORMAP black_to_menu = {RGB(0, 0, 0), menu_colour};
        HBITMAP mapped =
            CreateMappedBitmap(module_instance, IDB_MENU_ENTRY_LARGE_MENU, 0, &black_to_menu, 1);
        if (mapped) {
            if (bitmap)
                DeleteObject(bitmap);
            bitmap = mapped;
        }
    }
    if (theme)
        CloseThemeData(theme);
    menu_entry_bitmap = bitmap;
    return menu_entry_bitmap;
}

void release_bitmaps() {
    std::lock_guard<std::mutex> lock(bitmap_lock);
    for (auto &cached : bitmap_cache)
        if (cached.second.bitmap)
            DeleteObject(cached.second.bitmap);
    bitmap_cache.clear();
    if (menu_entry_bitmap)
        DeleteObject(menu_entry_bitmap);
    menu_entry_bitmap = nullptr;
    for (HBITMAP retired : retired_bitmaps)
        DeleteObject(retired);
    retired_bitmaps.clear();
    cached_colour = CLR_INVALID;
}

void release_retired_bitmaps() {
    std::lock_guard<std::mutex> lock(bitmap_lock);
    for (HBITMAP retired : retired_bitmaps)
        DeleteObject(retired);
    retired_bitmaps.clear();
}

HTHEME button_theme() {
    std::lock_guard<std::mutex> lock(bitmap_lock);
    if (!theme_tried) {
        theme_tried = true;
        opened_theme = OpenThemeData(GetDesktopWindow(), L"BUTTON");
    }
    return opened_theme;
}

void release_button_theme() {
    std::lock_guard<std::mutex> lock(bitmap_lock);
    if (opened_theme)
        CloseThemeData(opened_theme);
    opened_theme = nullptr;
    theme_tried = false;
}

void colours_changed() {
    std::lock_guard<std::mutex> lock(bitmap_lock);
    menu_colour = GetSysColor(COLOR_MENU);
    retire_cache_if_colour_changed();
}
