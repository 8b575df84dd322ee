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
//   setup_check walk COMMAND FOLDER NAME [TYPED]
//                                  runs COMMAND (a setup or an uninstaller,
//                                  without /S) and goes through its pages with
//                                  Enter as a user does; prints each page's
//                                  texts and leaves FOLDER\NAME-N.png of it.
//                                  On the folder page it first types TYPED.
//                                  The library's question whether to remove
//                                  every description is answered No.
// Exit code: the number of failed checks.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "module/class_ids.h"
#include "tests/screenshot.h"

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
        bool present =
            RegOpenKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
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
    check(
        stream != INVALID_HANDLE_VALUE &&
            WriteFile(stream, record.data(), static_cast<DWORD>(record.size()), &written, nullptr),
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

// The setup's visible windows, whichever process shows them: the uninstaller
// runs from a copy of itself.
struct setup_windows {
    HWND wizard = nullptr; // the page frame, with its Back button
    HWND box = nullptr;    // a message box
};

BOOL CALLBACK find_setup_window(HWND window, LPARAM found) {
    wchar_t name[16];
    if (!IsWindowVisible(window) || !GetClassNameW(window, name, 16) ||
        lstrcmpW(name, L"#32770") != 0)
        return TRUE;
    auto &windows = *reinterpret_cast<setup_windows *>(found);
    if (GetDlgItem(window, 3) && GetDlgItem(window, 1))
        windows.wizard = window;
    else
        windows.box = window;
    return TRUE;
}

BOOL CALLBACK add_text(HWND control, LPARAM texts) {
    wchar_t text[1024], name[32];
    // A progress bar's window text is no text.
    if (GetClassNameW(control, name, 32) && lstrcmpW(name, L"msctls_progress32") == 0)
        return TRUE;
    // A picture's text is its resource number. WM_GETTEXT, not GetWindowText:
    // of another process's window that reads only the text it was made with.
    if (IsWindowVisible(control) &&
        SendMessageW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text)) > 0 &&
        text[0] != 0xFFFF) {
        char utf8[4096];
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
        std::string &all = *reinterpret_cast<std::string *>(texts);
        all += all.empty() ? "" : " | ";
        all += utf8;
    }
    return TRUE;
}

std::string texts_of(HWND window) {
    std::string texts;
    add_text(window, reinterpret_cast<LPARAM>(&texts));
    EnumChildWindows(window, add_text, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

// Enter, pressed on the control that has the keyboard focus.
void press_enter(HWND window) {
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    HWND focus = GetGUIThreadInfo(thread, &gui) && gui.hwndFocus ? gui.hwndFocus : window;
    PostMessageW(focus, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageW(focus, WM_KEYUP, VK_RETURN, 0xC01C0001);
}

BOOL CALLBACK find_folder_box(HWND control, LPARAM found) {
    if (GetDlgCtrlID(control) != 1019 || !IsWindowVisible(control))
        return TRUE;
    *reinterpret_cast<HWND *>(found) = control;
    return FALSE;
}

void walk(const std::string &command, const std::string &folder, const std::string &name,
          const std::string &typed) {
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    PROCESS_INFORMATION process = {};
    std::string line = "\"" + command + "\"";
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start,
                        &process)) {
        check(false, "could not start " + command);
        return;
    }
    std::string shown;
    int pages = 0;
    bool pressed = false, folder_typed = typed.empty();
    DWORD last_seen = GetTickCount(), shown_since = 0;
    for (DWORD began = GetTickCount(); GetTickCount() - began < 180000; Sleep(100)) {
        setup_windows windows;
        EnumWindows(find_setup_window, reinterpret_cast<LPARAM>(&windows));
        if (windows.box) {
            std::string texts = texts_of(windows.box);
            printf("box: %s\n", texts.c_str());
            Sleep(300);
            if (texts.find("Remove descriptions ?") != std::string::npos)
                PostMessageW(windows.box, WM_COMMAND, IDNO, 0);
            else
                press_enter(windows.box);
            Sleep(500);
            // The page under the box waits for its button again.
            pressed = false;
            shown_since = GetTickCount();
            continue;
        }
        if (!windows.wizard) {
            // Done once the program has ended and no page came back for a while.
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0 && pages > 0 &&
                GetTickCount() - last_seen > 3000)
                break;
            continue;
        }
        last_seen = GetTickCount();
        std::string texts = texts_of(windows.wizard);
        if (texts != shown) {
            // Drawn whole before it is looked at.
            Sleep(400);
            texts = texts_of(windows.wizard);
            shown = texts;
            shown_since = GetTickCount();
            pressed = false;
            ++pages;
            printf("page %d: %s\n", pages, texts.c_str());
            RECT area;
            GetWindowRect(windows.wizard, &area);
            check(
                save_screenshot(folder + "\\" + name + "-" + std::to_string(pages) + ".png", area),
                "screenshot of page " + std::to_string(pages));
        }
        HWND folder_box = nullptr;
        EnumChildWindows(windows.wizard, find_folder_box, reinterpret_cast<LPARAM>(&folder_box));
        if (folder_box && !folder_typed) {
            SendMessageA(folder_box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(typed.c_str()));
            folder_typed = true;
        }
        // Once per page, and only on a page that stays: the progress page
        // enables Next for a moment before it moves on by itself.
        HWND next = GetDlgItem(windows.wizard, 1);
        if (!pressed && GetTickCount() - shown_since > 1500 && IsWindowEnabled(next) &&
            IsWindowVisible(next)) {
            press_enter(windows.wizard);
            pressed = true;
        }
    }
    // Never left running: it holds the caller's output open.
    if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    check(code == 0, command + " exited with " + std::to_string(code));
    check(pages > 0, "no page of " + command + " was seen");
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
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
    } else if (mode == "walk" && (argc == 5 || argc == 6))
        walk(argv[2], argv[3], argv[4], argc == 6 ? argv[5] : "");
    else if ((mode == "describe" || mode == "described") && argc > 2)
        for (int i = 2; i < argc; ++i)
            mode == "describe" ? describe(i, argv[i]) : described(i, argv[i]);
    else
        check(false,
              "usage: setup_check installed FOLDER VERSION | removed | describe|described PATH... "
              "| hold-setup-lock FILE | walk COMMAND FOLDER NAME [TYPED]");
    CoUninitialize();
    return failures;
}
