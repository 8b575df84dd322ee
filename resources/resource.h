#pragma once

// Overlay icon files, one per marker kind: row i of the overlay table is
// written from base + i. The small set serves systems before major version 6.
#define IDR_OVERLAY_ICONS_SMALL 225
#define IDR_OVERLAY_ICONS_LARGE 241
#define OVERLAY_KIND_COUNT 6

#define IDI_APPLICATION_ICON 238

// Bitmaps. The 48 x 33 images of the toolbar and the chooser, 16 x 16 ones of
// the list; kind k of the markers is base + k.
#define IDB_MENU_ENTRY 202
#define IDB_SAVE 208
#define IDB_REMOVE 209
#define IDB_CLOSE 210
#define IDB_LIST 212
#define IDB_KIND_LARGE 217
#define IDB_MENU_ENTRY_LARGE_MENU 248
#define IDB_KIND_SMALL 250
#define IDB_FOLDER_SMALL 256

// Editor toolbar commands and their tool-tips (IDS_TOOLTIP_FIRST + button).
#define IDC_SAVE 32771
#define IDC_REMOVE 32772
#define IDC_CLOSE 32773
#define IDC_SELECT_ICON 32774
#define IDC_SHOW_LIST 32775
#define IDS_TOOLTIP_FIRST 101

// The text window and its text box.
#define IDD_TEXT_WINDOW 103
#define IDC_TEXT 202

// The icon chooser; button IDC_KIND_FIRST + k picks kind k.
#define IDD_ICON_CHOOSER 240
#define IDC_KIND_FIRST 32783

// The list window, its controls and its context menu.
#define IDD_LIST_WINDOW 214
#define IDM_LIST_MENU 215
#define IDC_TREE_VIEW 203
#define IDC_VERSION_LINK 221
#define IDC_FULL_CONTENT 229
#define IDC_VIEW_LIST 230
#define IDC_VIEW_TREE 231
#define IDC_LIST_VIEW 235
#define IDC_FIND 236
#define IDC_VIEW_GROUP 239
#define IDC_OPEN 32789
#define IDC_OPEN_FOLDER 32790
#define IDC_ATTACH_KEPT 32791
