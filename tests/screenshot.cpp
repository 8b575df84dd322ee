#include "tests/screenshot.h"

bool save_screenshot(const std::string &target, const RECT &area) {
    DeleteFileA(target.c_str());
    // Wine's Z: drive is the root of the Unix file system.
    if (target.size() < 3 || (target[0] != 'Z' && target[0] != 'z') || target[1] != ':')
        return false;
    std::string unix_target = target.substr(2);
    for (char &c : unix_target)
        if (c == '\\')
            c = '/';
    char crop[64];
    wsprintfA(crop, "%dx%d+%d+%d", static_cast<int>(area.right - area.left),
              static_cast<int>(area.bottom - area.top), static_cast<int>(area.left),
              static_cast<int>(area.top));
    std::string command =
        "/usr/bin/import -window root -crop " + std::string(crop) + " \"" + unix_target + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    // Wine does not wait for a Unix program: wait for the file to be whole.
    LONGLONG last_size = -1;
    for (int i = 0; i < 200; ++i) {
        Sleep(50);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA(target.c_str(), GetFileExInfoStandard, &data))
            continue;
        LONGLONG size = (LONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (size > 0 && size == last_size)
            return true;
        last_size = size;
    }
    return false;
}
