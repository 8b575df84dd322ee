#pragma once

// Overlay icon files, one per marker kind: row i of the overlay table is
// written from base + i. The small set serves systems before major version 6.
#define IDR_OVERLAY_ICONS_SMALL 225
#define IDR_OVERLAY_ICONS_LARGE 241
#define OVERLAY_KIND_COUNT 6

#define IDI_APPLICATION_ICON 238
