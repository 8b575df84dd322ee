#include "ui/window_base.h"

#include "module/module_start_up.h"

bool CWindowBase::RegisterWindowClass(WNDPROC procedure, HBRUSH background, const wchar_t *name,
                                      HICON icon) {
    if (class_registered)
        return true;
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = module_instance;
    window_class.hIcon = icon;
    window_class.hIconSm = icon;
    window_class.hCursor = cursor ? cursor : LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = background;
    window_class.lpszClassName = name;
    if (!RegisterClassExW(&window_class)) {
        if (GetLastError() != ERROR_CLASS_ALREADY_EXISTS ||
            !UnregisterClassW(name, module_instance) || !RegisterClassExW(&window_class))
            return false;
    }
    instance = module_instance;
    class_name = name;
    class_registered = true;
    return true;
}

bool CWindowBase::UnregisterWindowClass() {
    if (!class_registered)
        return true;
    if (!UnregisterClassW(class_name.c_str(), instance))
        return false;
    class_registered = false;
    return true;
}

RECT CWindowBase::work_area_of(HWND window) {
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor))
        return monitor.rcWork;
    RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}
