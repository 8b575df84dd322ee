#include <windows.h>
#include <objbase.h>

#include "module/class_factory.h"
#include "module/guarded_call.h"
#include "module/module_start_up.h"
#include "module/registration.h"

// Only records the handle: shell32, user32, gdi32, uxtheme and file I/O are
// not safe under the loader lock, so start-up runs on the first exported call.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        record_module_instance(instance);
        DisableThreadLibraryCalls(instance);
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
        return register_server();
    });
}

STDAPI DllUnregisterServer() {
    return guarded_call([] {
        ensure_module_started();
        return unregister_server();
    });
}
