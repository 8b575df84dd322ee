#include "module/drive_probe.h"

#include <atomic>
#include <cstdint>
#include <cwchar>

#include "module/settings.h"

namespace {

// An answer of the system with the tick it was read at, in one word, so that
// any thread reads both without a lock. A word of 0 was never read.
class cached_answer {
  public:
    template <typename Read> unsigned get(Read &&read) {
        ULONGLONG now = GetTickCount64();
        uint64_t held = word_.load(std::memory_order_relaxed);
        // A tick stored by another thread after `now` was taken reads as
        // stale: one read more, never a stale answer.
        if ((held & read_mark) && now - (held >> 8) < drive_probe_refresh_ms)
            return held & answer_mask;
        unsigned answer = read() & answer_mask;
        word_.store((now << 8) | read_mark | answer, std::memory_order_relaxed);
        return answer;
    }

  private:
    static const uint64_t read_mark = 0x80;
    static const unsigned answer_mask = 0x7F;
    std::atomic<uint64_t> word_{0};
};

cached_answer drive_types[26];
cached_answer probe_all_drives;

bool is_probe_all_drives_on() {
    return probe_all_drives.get([] { return is_setting_on(probe_all_drives_value_name) ? 1 : 0; });
}

// 0 to 25 for a path on drive A to Z ("X:\..."), else -1.
int drive_of(const wchar_t *path) {
    wchar_t letter = path[0] | 0x20;
    if (letter < L'a' || letter > L'z' || path[1] != L':' || path[2] != L'\\')
        return -1;
    return letter - L'a';
}

} // namespace

bool may_open_unknown_item(const wchar_t *path) {
    if (path[0] == L'\\' && path[1] == L'\\') {
        if (path[2] == L'?' && path[3] == L'\\') {
            path += 4;
            if (_wcsnicmp(path, L"UNC\\", 4) == 0)
                return is_probe_all_drives_on();
        } else {
            // "\\server\share\...", not a "\\.\" device.
            bool unc =
                path[2] != L'\0' && path[2] != L'\\' && !(path[2] == L'.' && path[3] == L'\\');
            return unc && is_probe_all_drives_on();
        }
    }
    int drive = drive_of(path);
    if (drive < 0)
        return false;
    unsigned type = drive_types[drive].get([drive] {
        wchar_t root[] = {static_cast<wchar_t>(L'A' + drive), L':', L'\\', L'\0'};
        return GetDriveTypeW(root);
    });
    return type == DRIVE_FIXED || type == DRIVE_RAMDISK || is_probe_all_drives_on();
}
