#pragma once

#include <windows.h>

// How long a drive's type and the probe_all_drives setting, once read, are
// taken as they were.
const ULONGLONG drive_probe_refresh_ms = 5000;

// Whether the overlays may open an item the index does not know, to read its
// description: always on fixed drives and RAM disks; on network shares,
// network, removable and CD drives and drives of unknown type only when
// probe_all_drives is on, since a server that does not answer stalls the
// asking thread for seconds. Any other form of path ("\\.\" devices, volume
// names, relative paths) is never opened. Cheap enough for every item a view
// shows, from many threads at once.
bool may_open_unknown_item(const wchar_t *path);
