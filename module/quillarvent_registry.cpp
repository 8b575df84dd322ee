// quillarvent_registry.exe TYPE
//
// Started elevated by the library when the user may not create the info tip
// and property handler keys of a file type. TYPE is an extension with its dot (2 to 5
// characters) or "Folder"; anything else is refused, so the program cannot be
// made to write elsewhere in HKCR.

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "store/info_tip_key.h"
#include "store/property_handler_key.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    LPWSTR *args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args)
        return ERROR_INVALID_PARAMETER;
    std::string type;
    bool usable = count == 2 && wcslen(args[1]) <= 16;
    for (const wchar_t *c = usable ? args[1] : L""; *c; ++c) {
        if (*c >= 0x80) {
            usable = false;
            break;
        }
        type += static_cast<char>(*c);
    }
    LocalFree(args);
    if (!usable || !is_registrable_type(type))
        return ERROR_INVALID_PARAMETER;
    return static_cast<int>(register_type_handlers(type));
}
