#include <windows.h>
#include <objbase.h>

#include "module/class_factory.h"
#include "module/guarded_call.h"
#include "module/module_start_up.h"
#include "module/registration.h"
#include "ui/bitmaps.h"

// Only records the handle: shell32, user32, gdi32, uxtheme and file I/O are
// not safe under the loader lock, so start-up runs on the first exported call.
// When the library is freed (not at process exit) the cached bitmaps go, so
// a host that loads and frees it again and again collects none; no menu or
// window of the library can use them then.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        record_module_instance(instance);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        release_bitmaps();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID *out) {
    return guarded_call([&] {
        ensure_module_started();
        return get_class_object(clsid, iid, out);
    });
}

STDAPI DllCanUnloadNow() {
    return guarded_call([] { return can_unload_now(); });
}

STDAPI DllRegisterServer() {
    return guarded_call([] {
        ensure_module_started();
        load_index_left_out();
        return register_server();
    });
}

STDAPI DllUnregisterServer() {
    return guarded_call([] {
        ensure_module_started();
        load_index_left_out();
        return unregister_server();
    });
}

// regsvr32 /i[:LINE] [/u] [/n]. Unregistering with the line "keep" removes
// the registrations and keeps every description without asking, so that a
// silent uninstall never waits on a question.
STDAPI DllInstall(BOOL install, PCWSTR line) {
    return guarded_call([&] {
        ensure_module_started();
        load_index_left_out();
        if (install)
            return register_server();
        bool keep = line && lstrcmpiW(line, L"keep") == 0;
        return unregister_server(!keep);
    });
}
