// Checks what the setup program left in a Wine prefix, as the tests of the
// setup need it from inside Windows: the registered classes, the
// Add/Remove Programs entry, COM activation through the registry, and
// described files written and read through the installed library.
//
//   setup_check installed FOLDER VERSION
//                                  classes point at FOLDER\plivar_23.dll, and
//                                  the Add/Remove entry is of VERSION
//   setup_check removed            no class and no entry are left
//   setup_check describe PATH...   writes a description and enters it
//   setup_check described PATH...  each description is still there
//   setup_check hold-setup-lock FILE
//                                  holds the lock of a running setup, says so
//                                  by creating FILE, and lets go once FILE
//                                  is gone again
// Exit code: the number of failed checks.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "module/class_ids.h"

namespace {

const char uninstall_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillarvent";

int failures = 0;

void check(bool ok, const std::string &what) {
    if (!ok) {
        printf("FAIL: %s\n", what.c_str());
        ++failures;
    }
}

std::string value_of(HKEY root, const std::string &key, const char *name = nullptr) {
    char value[1024] = "";
    DWORD size = sizeof value;
    if (RegGetValueA(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS)
        return "<none>";
    return value;
}

std::string clsid_text(const GUID &clsid) {
    wchar_t text[64];
    StringFromGUID2(clsid, text, 64);
    char ansi[64];
    WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, 64, nullptr, nullptr);
    return ansi;
}

std::vector<GUID> classes() {
    std::vector<GUID> all = {main_clsid, column_clsid};
    for (int kind = 0; kind < 6; ++kind)
        all.push_back(overlay_clsid(kind));
    return all;
}

std::string text_of(int index) {
    return "the description of item " + std::to_string(index);
}

void installed(const std::string &folder, const std::string &version) {
    std::string library = folder + "\\plivar_23.dll";
    for (const GUID &clsid : classes()) {
        std::string key = "CLSID\\" + clsid_text(clsid) + "\\InprocServer32";
        check(value_of(HKEY_CLASSES_ROOT, key) == library, key + " names " + library);
    }
    check(value_of(HKEY_LOCAL_MACHINE, uninstall_key, "DisplayName") == "Quillarvent",
          "Add/Remove Programs entry");
    check(value_of(HKEY_LOCAL_MACHINE, uninstall_key, "DisplayVersion") == version,
          "the entry is of version " + version);
    check(value_of(HKEY_LOCAL_MACHINE, uninstall_key, "QuietUninstallString") ==
              "\"" + folder + "\\uninstall.exe\" /S",
          "quiet uninstall command");
    check(value_of(HKEY_LOCAL_MACHINE, uninstall_key, "DisplayIcon") == library + ",-238",
          "the entry's icon");
    IShellExtInit *handler = nullptr;
    HRESULT hr = CoCreateInstance(main_clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExtInit,
                                  reinterpret_cast<void **>(&handler));
    check(hr == S_OK && handler, "COM creates the main handler through the registry");
    if (handler)
        handler->Release();
}

void removed() {
    for (const GUID &clsid : classes()) {
        HKEY key;
        std::string name = "CLSID\\" + clsid_text(clsid);
        bool present = RegOpenKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_READ, &key) ==
                       ERROR_SUCCESS;
        if (present)
            RegCloseKey(key);
        check(!present, name + " is gone");
    }
    check(value_of(HKEY_LOCAL_MACHINE, uninstall_key, "DisplayName") == "<none>",
          "the Add/Remove Programs entry is gone");
}

void describe(int index, const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(file);
    std::string record(4, '\0');
    record[0] = static_cast<char>(index % 6);
    record += text_of(index);
    HANDLE stream = CreateFileA((path + ":plivar").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    check(stream != INVALID_HANDLE_VALUE &&
              WriteFile(stream, record.data(), static_cast<DWORD>(record.size()), &written,
                        nullptr),
          "stream of " + path);
    CloseHandle(stream);
    // The overlay's first question enters it into files.dat.
    IShellIconOverlayIdentifier *overlay = nullptr;
    CoCreateInstance(overlay_clsid(index % 6), nullptr, CLSCTX_INPROC_SERVER,
                     IID_IShellIconOverlayIdentifier, reinterpret_cast<void **>(&overlay));
    std::wstring wide(path.begin(), path.end());
    check(overlay && overlay->IsMemberOf(wide.c_str(), 0) == S_OK, path + " is described");
    if (overlay)
        overlay->Release();
}

void described(int index, const std::string &path) {
    std::string bytes(4096, '\0');
    HANDLE stream = CreateFileA((path + ":plivar").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    DWORD read = 0;
    if (stream != INVALID_HANDLE_VALUE) {
        ReadFile(stream, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
        CloseHandle(stream);
    }
    bytes.resize(read);
    check(bytes.size() > 4 && bytes.substr(4) == text_of(index), path + " keeps its description");
}

} // namespace

int main(int argc, char **argv) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "installed" && argc == 4)
        installed(argv[2], argv[3]);
    else if (mode == "removed")
        removed();
    else if (mode == "hold-setup-lock" && argc == 3) {
        HANDLE lock = CreateMutexW(nullptr, FALSE, L"Global\\QuillarventSetup");
        CloseHandle(CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        for (int i = 0; i < 600 && GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES; ++i)
            Sleep(100);
        CloseHandle(lock);
    }
    else if ((mode == "describe" || mode == "described") && argc > 2)
        for (int i = 2; i < argc; ++i)
            mode == "describe" ? describe(i, argv[i]) : described(i, argv[i]);
    else
        check(false, "usage: setup_check installed FOLDER VERSION | removed | describe|described PATH... "
              "| hold-setup-lock FILE");
    CoUninitialize();
    return failures;
}
