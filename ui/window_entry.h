#pragma once

#include <windows.h>

// Opens every window procedure of the library. It keeps the library loaded
// while the procedure runs: a box, a menu or ShellExecute inside it lets the
// host run other code, a delayed unload of the library among it. And it
// counts the library's procedures on this thread's stack, so that what must
// not happen inside another one's call (a control destroyed inside its own
// notice, a load inside a load) waits until the last of them returns.
class WindowEntry {
  public:
    WindowEntry();
    WindowEntry(const WindowEntry &) = delete;
    WindowEntry &operator=(const WindowEntry &) = delete;
    ~WindowEntry();

    // No other procedure of the library waits under the current one.
    static bool outermost();
    // Whether any procedure of the library is on this thread's stack.
    static bool inside();
    // Called on this thread each time its last procedure of the library
    // returns; it only posts what was put off.
    static void set_idle_hook(void (*hook)());
};
