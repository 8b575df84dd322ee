#pragma once

#include <string>

// Deletes `folder` and everything below it. Only a full drive path
// ("C:\...") or share path ("\\server\share\...") is accepted: a relative or
// empty name would reach into the caller's current folder. Every name is
// used in its "\\?\" form, so depth is no limit, and a link or junction
// inside is removed itself, never followed. True when the folder is gone.
bool delete_folder_tree(const std::wstring &folder);
