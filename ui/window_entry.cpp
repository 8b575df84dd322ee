#include "ui/window_entry.h"

#include <atomic>

#include "module/module_lifetime.h"

namespace {

thread_local int entry_depth = 0;
std::atomic<void (*)()> idle_hook{nullptr};

} // namespace

WindowEntry::WindowEntry() {
    module_add_ref();
    ++entry_depth;
}

WindowEntry::~WindowEntry() {
    if (--entry_depth == 0) {
        if (void (*hook)() = idle_hook.load())
            hook();
    }
    module_release();
}

bool WindowEntry::outermost() {
    return entry_depth <= 1;
}

bool WindowEntry::inside() {
    return entry_depth > 0;
}

void WindowEntry::set_idle_hook(void (*hook)()) {
    idle_hook = hook;
}
