#include "tests/message_box_catcher.h"

namespace {

BOOL CALLBACK find_text(HWND child, LPARAM param) {
    char class_name[16];
    char text[4096];
    if (GetClassNameA(child, class_name, sizeof(class_name)) &&
        lstrcmpiA(class_name, "Static") == 0 && GetWindowTextA(child, text, sizeof(text)) > 0) {
        *reinterpret_cast<std::string *>(param) = text;
        return FALSE;
    }
    return TRUE;
}

} // namespace

MessageBoxCatcher::MessageBoxCatcher(const char *caption, int button, DWORD timeout_ms)
    : caption_(caption), button_(button), timeout_ms_(timeout_ms) {
    thread_ = std::thread(&MessageBoxCatcher::watch, this);
}

MessageBoxCatcher::~MessageBoxCatcher() {
    if (thread_.joinable())
        thread_.join();
}

void MessageBoxCatcher::watch() {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeout_ms_) {
        HWND box = FindWindowA("#32770", caption_.c_str());
        if (box && IsWindowVisible(box)) {
            EnumChildWindows(box, find_text, reinterpret_cast<LPARAM>(&text_));
            PostMessageA(box, WM_COMMAND, button_, 0);
            caught_ = true;
            return;
        }
        Sleep(10);
    }
}

bool MessageBoxCatcher::caught() {
    if (thread_.joinable())
        thread_.join();
    return caught_;
}

std::string MessageBoxCatcher::text() {
    caught();
    return text_;
}

MessageBoxWatch::MessageBoxWatch(const char *caption) : caption_(caption) {
    thread_ = std::thread([this] {
        while (!stop_) {
            HWND box = FindWindowA("#32770", caption_.c_str());
            if (box && IsWindowVisible(box)) {
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                ++count_;
                // The same box stays visible until it handles the press.
                while (!stop_ && IsWindow(box) && IsWindowVisible(box))
                    Sleep(5);
            }
            Sleep(10);
        }
    });
}

MessageBoxWatch::~MessageBoxWatch() {
    stop_ = true;
    thread_.join();
}
