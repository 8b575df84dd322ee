#pragma once

#include <windows.h>
#include <uxtheme.h>

#include <cstddef>
#include <vector>

// Bitmap resources of the library, loaded once per process and shared: the
// handles are never freed by their users.

// Bitmap resource `id`. A tinted load turns the grey areas of the picture
// into shades of the menu colour, grey 200 exactly into it; a plain load
// takes the picture as drawn. Each id is cached under the way it was first
// asked for. Null when the resource cannot be had.
HBITMAP GetBitmap(int id, bool tinted);

// The picture beside the context-menu entry: bitmap 202, or on menus with
// caption buttons over 16 pixels bitmap 248 with its black turned into the
// menu colour. Null when neither loads; the next call tries again.
HBITMAP GetMenuEntryBitmap();

// Deletes the cached bitmaps, when the library is freed.
void release_bitmaps();
// Deletes the bitmaps of earlier menu colours, once no menu or window of the
// library is left to draw them.
void release_retired_bitmaps();

// The theme of buttons, opened on first use; null without visual styles.
HTHEME button_theme();
// Closes the theme: the next use opens the one in effect then.
void release_button_theme();

// Takes the system's menu colour anew. Bitmaps tinted to the old colour stay
// valid for those who hold them (see release_retired_bitmaps); the next
// request tints anew.
void colours_changed();

// The pixels of a bitmap resource (information header, then rows) tinted to
// `menu`. False, with nothing written, unless the resource is a 24-bit
// uncompressed bottom-up bitmap of at most 1024 x 1024 pixels whose rows all
// lie within `size` bytes.
bool tint_bitmap_resource(const void *resource, size_t size, COLORREF menu,
                          BITMAPINFOHEADER &header, std::vector<BYTE> &pixels);
