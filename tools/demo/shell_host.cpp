// Plays the part of the Windows shell for a sample folder: registers the
// library with regsvr32, asks its handlers what the shell would ask, prints
// what a user would see, and unregisters it again.
//
// Every handler is obtained through COM activation from the registry; the
// info tips go through the shell's own code (SHParseDisplayName,
// SHBindToParent, IShellFolder::GetUIObjectOf).

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <commctrl.h>

#include <thread>

#include "module/class_ids.h"
#include "tests/message_box_catcher.h"
#include "tests/screenshot.h"

namespace {

const char install_folder[] = "C:\\Program Files\\Quillarvent\\";
const char base_folder[] = "C:\\Program Files\\";
const char sample[] = "C:\\QuillarventDemo";

struct sample_item {
    const char *name;
    bool folder;
    int kind;         // marker written as if described on another machine; -1 none
    const char *text; // its description
};

const sample_item items[] = {
    {"report.txt", false, -1, nullptr}, // described by the older installation
    {"plan.txt", false, 1, "Draft - do not send before Friday"},
    {"photos", true, 4, "Holiday pictures, summer 2026"},
    {"todo.txt", false, 3, "Ask Anna about the invoice"},
    {"notes.txt", false, -1, nullptr},
};

bool write_file(const std::string &path, const std::string &bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    CloseHandle(file);
    return ok;
}

void put32(std::string &out, int32_t v) {
    out.append(reinterpret_cast<const char *>(&v), 4);
}

// The older installation's files: one description for C:\QuillarventDemo\report.txt.
void write_legacy_files() {
    std::string tree, descr;
    put32(tree, 2);
    for (const char *name : {"C:", "QuillarventDemo"}) {
        put32(tree, 1);
        put32(tree, static_cast<int32_t>(strlen(name)));
        tree += name;
        tree.append("\x29\x01", 2);
    }
    std::string text = "Quarterly figures, checked by Anna";
    put32(descr, 10);
    descr += "report.txt";
    put32(descr, 2);
    put32(descr, 0);
    put32(descr, 0);
    put32(descr, static_cast<int32_t>(text.size()));
    descr += text;
    descr.append("\x29\x01", 2);
    write_file(std::string(base_folder) + "tree.dat", tree);
    write_file(std::string(base_folder) + "descr.dat", descr);
}

void prepare_sample() {
    CreateDirectoryA(sample, nullptr);
    for (const sample_item &item : items) {
        std::string path = std::string(sample) + "\\" + item.name;
        if (item.folder) {
            CreateDirectoryA(path.c_str(), nullptr);
            write_file(path + "\\beach.jpg", std::string(180000, 'j'));
            write_file(path + "\\hills.jpg", std::string(240000, 'h'));
        } else {
            write_file(path, std::string(1200 + 700 * strlen(item.name), 'x'));
        }
        if (item.kind >= 0) {
            std::string record(reinterpret_cast<const char *>(&item.kind), 4);
            write_file(path + ":plivar", record + item.text);
        }
    }
    write_legacy_files();
}

// Runs regsvr32 and answers the message box it may show.
DWORD run_regsvr32(const char *options, const char *caption, int answer, std::string *said) {
    MessageBoxCatcher catcher(caption, answer, 20000);
    std::string command = std::string("C:\\windows\\system32\\regsvr32.exe ") + options + " \"" +
                          install_folder + "plivar_23.dll\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return GetLastError();
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (said)
        *said = catcher.text();
    return code;
}

std::string narrow(const wchar_t *text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_ACP, 0, text, -1, &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string &text) {
    return std::wstring(text.begin(), text.end());
}

void print_indented(const std::string &label, const std::string &text) {
    printf("    %-8s", label.c_str());
    for (char c : text) {
        putchar(c);
        if (c == '\n')
            printf("            ");
    }
    putchar('\n');
}

// Asks all six overlay identifiers, as the shell does for every item it shows.
std::string overlay_of(const std::wstring &path) {
    static const char *names[] = {"info", "important", "trash", "funny", "not funny", "interes"};
    for (int kind = 0; kind < 6; ++kind) {
        IShellIconOverlayIdentifier *overlay = nullptr;
        if (FAILED(CoCreateInstance(overlay_clsid(kind), nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IShellIconOverlayIdentifier,
                                    reinterpret_cast<void **>(&overlay))))
            return "(overlay handler not available)";
        HRESULT hr = overlay->IsMemberOf(path.c_str(), 0);
        overlay->Release();
        if (hr == S_OK)
            return "marker " + std::to_string(kind) + " (" + names[kind] + ")";
    }
    return "none";
}

std::string column_of(const std::wstring &path) {
    IColumnProvider *column = nullptr;
    if (FAILED(CoCreateInstance(column_clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IColumnProvider,
                                reinterpret_cast<void **>(&column))))
        return "(column handler not available)";
    SHCOLUMNID id = {main_clsid, 0};
    SHCOLUMNDATA data = {};
    lstrcpynW(data.wszFile, path.c_str(), MAX_PATH);
    VARIANT value;
    VariantInit(&value);
    std::string text = column->GetItemData(&id, &data, &value) == S_OK && V_VT(&value) == VT_BSTR
                           ? narrow(V_BSTR(&value))
                           : "";
    VariantClear(&value);
    column->Release();
    return text;
}

// The shell's way to an item's tip: parse the name, bind to its folder and
// ask the folder for the item's IQueryInfo.
std::string shell_info_tip(const std::wstring &path) {
    PIDLIST_ABSOLUTE item = nullptr;
    if (FAILED(SHParseDisplayName(path.c_str(), nullptr, &item, 0, nullptr)))
        return "(not found)";
    IShellFolder *folder = nullptr;
    PCUITEMID_CHILD child = nullptr;
    std::string text = "(no tip)";
    if (SUCCEEDED(
            SHBindToParent(item, IID_IShellFolder, reinterpret_cast<void **>(&folder), &child))) {
        IQueryInfo *query = nullptr;
        if (SUCCEEDED(folder->GetUIObjectOf(nullptr, 1, &child, IID_IQueryInfo, nullptr,
                                            reinterpret_cast<void **>(&query)))) {
            wchar_t *tip = nullptr;
            if (SUCCEEDED(query->GetInfoTip(0, &tip)) && tip)
                text = narrow(tip);
            CoTaskMemFree(tip);
            query->Release();
        }
        folder->Release();
    }
    CoTaskMemFree(item);
    return text;
}

// Wine's shell asks no info tip handler for folders; ask the handler the
// way the shell would after finding it under Folder\shellex.
std::string direct_info_tip(const std::wstring &path) {
    IPersistFile *file = nullptr;
    if (FAILED(CoCreateInstance(main_clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPersistFile,
                                reinterpret_cast<void **>(&file))))
        return "(info tip handler not available)";
    std::string text = "(no tip)";
    IQueryInfo *query = nullptr;
    if (SUCCEEDED(file->Load(path.c_str(), 0)) &&
        SUCCEEDED(file->QueryInterface(IID_IQueryInfo, reinterpret_cast<void **>(&query)))) {
        wchar_t *tip = nullptr;
        if (SUCCEEDED(query->GetInfoTip(0, &tip)) && tip)
            text = narrow(tip);
        CoTaskMemFree(tip);
        query->Release();
    }
    file->Release();
    return text;
}

std::string info_tip(const std::wstring &path, bool folder) {
    return folder ? direct_info_tip(path) : shell_info_tip(path);
}

void pump(DWORD ms) {
    DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    } while (GetTickCount() - start < ms);
}

// The folder beside the program, where the demo leaves its screenshots.
std::string screenshot_folder() {
    char exe[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string folder(exe, n);
    folder = folder.substr(0, folder.rfind('\\') + 1) + "demo-screenshots\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

void shoot(const std::string &name, RECT area) {
    InflateRect(&area, 8, 8);
    std::string path = screenshot_folder() + name + ".png";
    if (save_screenshot(path, area))
        printf("  screenshot: %s\n", path.c_str());
    else
        printf("  (no screenshot of the %s: ImageMagick's import failed)\n", name.c_str());
}

// The shell's data object for one item: the one its folder hands out.
IDataObject *shell_data_object(const std::wstring &path) {
    PIDLIST_ABSOLUTE item = nullptr;
    if (FAILED(SHParseDisplayName(path.c_str(), nullptr, &item, 0, nullptr)))
        return nullptr;
    IShellFolder *folder = nullptr;
    PCUITEMID_CHILD child = nullptr;
    IDataObject *data = nullptr;
    if (SUCCEEDED(
            SHBindToParent(item, IID_IShellFolder, reinterpret_cast<void **>(&folder), &child))) {
        folder->GetUIObjectOf(nullptr, 1, &child, IID_IDataObject, nullptr,
                              reinterpret_cast<void **>(&data));
        folder->Release();
    }
    CoTaskMemFree(item);
    return data;
}

HWND find_text_box() {
    HWND dialog = nullptr;
    while ((dialog = FindWindowExW(nullptr, dialog, L"#32770", nullptr)))
        if (HWND box = GetDlgItem(dialog, 202))
            return box;
    return nullptr;
}

// A click on a toolbar button, as the mouse gives one.
void click(HWND toolbar, int command) {
    RECT button = {};
    SendMessageW(toolbar, TB_GETRECT, command, reinterpret_cast<LPARAM>(&button));
    LPARAM at = MAKELPARAM((button.left + button.right) / 2, (button.top + button.bottom) / 2);
    SendMessageW(toolbar, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(toolbar, WM_LBUTTONUP, 0, at);
}

// Right-clicks `name`, chooses "Manage Description" with the keyboard, types
// `text`, picks marker `kind` in the chooser and saves, all through the
// library's own windows.
bool describe_through_the_editor(const char *name, int kind, const char *text) {
    std::wstring path = wide(std::string(sample) + "\\" + name);
    printf("\nRight click on %s, \"Manage Description\":\n", name);
    IDataObject *data = shell_data_object(path);
    IShellExtInit *init = nullptr;
    if (!data || FAILED(CoCreateInstance(main_clsid, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IShellExtInit, reinterpret_cast<void **>(&init)))) {
        printf("  (no data object or no handler)\n");
        if (data)
            data->Release();
        return false;
    }
    HRESULT hr = init->Initialize(nullptr, data, nullptr);
    data->Release();
    IContextMenu *handler = nullptr;
    init->QueryInterface(IID_IContextMenu, reinterpret_cast<void **>(&handler));
    init->Release();
    if (FAILED(hr) || !handler) {
        printf("  Initialize failed (0x%08lx)\n", static_cast<unsigned long>(hr));
        if (handler)
            handler->Release();
        return false;
    }
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 1, L"Open");
    AppendMenuW(menu, MF_STRING, 2, L"Copy");
    const UINT first = 100;
    handler->QueryContextMenu(menu, 1, first, 200, CMF_NORMAL);
    HWND owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 200, 200, 1, 1, nullptr,
                                 nullptr, nullptr, nullptr);
    std::thread user([owner] {
        Sleep(600);
        shoot("menu", RECT{200, 200, 420, 280});
        // Down to the second entry, then Enter.
        for (WPARAM key : {VK_DOWN, VK_DOWN, VK_RETURN}) {
            PostMessageW(owner, WM_KEYDOWN, key, 0);
            Sleep(100);
        }
    });
    SetForegroundWindow(owner);
    UINT chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_LEFTALIGN, 210, 210, 0, owner, nullptr);
    user.join();
    DestroyWindow(owner);
    DestroyMenu(menu);
    printf("  chosen menu entry: %u (\"Manage Description\" is %u)\n", chosen, first);
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    info.lpVerb = MAKEINTRESOURCEA(chosen - first);
    info.nShow = SW_SHOWNORMAL;
    hr = chosen == first ? handler->InvokeCommand(&info) : E_FAIL;
    handler->Release();
    pump(100);
    HWND editor = FindWindowW(L"Quillarvent", nullptr);
    HWND toolbar = editor ? FindWindowExW(editor, nullptr, TOOLBARCLASSNAMEW, nullptr) : nullptr;
    HWND box = find_text_box();
    if (FAILED(hr) || !toolbar || !box) {
        printf("  the editor did not open (0x%08lx)\n", static_cast<unsigned long>(hr));
        return false;
    }
    for (const char *c = text; *c; ++c)
        SendMessageA(box, WM_CHAR, static_cast<unsigned char>(*c), 0);
    printf("  typed \"%s\"\n", text);
    std::thread chooser_user([kind] {
        for (int i = 0; i < 300; ++i, Sleep(10))
            if (HWND chooser = FindWindowW(L"#32770", L"Select icon")) {
                Sleep(300);
                RECT area;
                GetWindowRect(chooser, &area);
                shoot("chooser", area);
                PostMessageW(GetDlgItem(chooser, 32783 + kind), BM_CLICK, 0, 0);
                return;
            }
    });
    click(toolbar, 32774);
    chooser_user.join();
    pump(100);
    printf("  picked marker %d in the chooser\n", kind);
    RECT top, bottom;
    GetWindowRect(editor, &top);
    GetWindowRect(GetParent(box), &bottom);
    RECT both = {std::min(top.left, bottom.left), top.top, std::max(top.right, bottom.right),
                 bottom.bottom};
    shoot("editor", both);
    click(toolbar, 32771);
    pump(100);
    bool closed = !IsWindow(editor);
    printf("  saved; the editor %s\n", closed ? "closed" : "is still open (FAILED)");
    return closed;
}

// Opens the editor on `name` again, opens the list of every description from
// its toolbar, switches the list to the tree, and closes both.
bool browse_descriptions(const char *name) {
    std::wstring path = wide(std::string(sample) + "\\" + name);
    printf("\nThe list of descriptions, from the editor's toolbar:\n");
    IDataObject *data = shell_data_object(path);
    IShellExtInit *init = nullptr;
    if (!data || FAILED(CoCreateInstance(main_clsid, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IShellExtInit, reinterpret_cast<void **>(&init)))) {
        if (data)
            data->Release();
        return false;
    }
    init->Initialize(nullptr, data, nullptr);
    data->Release();
    IContextMenu *handler = nullptr;
    init->QueryInterface(IID_IContextMenu, reinterpret_cast<void **>(&handler));
    init->Release();
    HMENU menu = CreatePopupMenu();
    handler->QueryContextMenu(menu, 0, 100, 200, CMF_NORMAL);
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof info;
    HRESULT hr = handler->InvokeCommand(&info);
    handler->Release();
    DestroyMenu(menu);
    pump(100);
    HWND editor = FindWindowW(L"Quillarvent", nullptr);
    HWND toolbar = editor ? FindWindowExW(editor, nullptr, TOOLBARCLASSNAMEW, nullptr) : nullptr;
    if (FAILED(hr) || !toolbar)
        return false;
    click(toolbar, 32775);
    pump(200);
    HWND list = FindWindowW(L"#32770", L"List of descriptions");
    if (!list) {
        printf("  the list did not open (FAILED)\n");
        return false;
    }
    HWND rows = GetDlgItem(list, 235);
    int count = static_cast<int>(SendMessageW(rows, LVM_GETITEMCOUNT, 0, 0));
    printf("  %d described items:", count);
    for (int i = 0; i < count; ++i) {
        wchar_t text[MAX_PATH] = L"";
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = i;
        item.pszText = text;
        item.cchTextMax = MAX_PATH;
        SendMessageW(rows, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
        printf(" %s", narrow(text).c_str());
    }
    printf("\n");
    RECT left, right;
    GetWindowRect(list, &left);
    GetWindowRect(editor, &right);
    RECT both = {left.left, right.top, right.right, left.bottom};
    shoot("list", both);
    SendMessageW(GetDlgItem(list, 231), BM_CLICK, 0, 0);
    HWND tree = GetDlgItem(list, 203);
    for (HTREEITEM item =
             reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
         item; item = reinterpret_cast<HTREEITEM>(SendMessageW(
                   tree, TVM_GETNEXTITEM, TVGN_NEXTVISIBLE, reinterpret_cast<LPARAM>(item))))
        SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item));
    pump(200);
    shoot("tree", both);
    SendMessageW(list, WM_CLOSE, 0, 0);
    pump(50);
    click(toolbar, 32773);
    pump(50);
    bool closed = !IsWindow(editor) && !IsWindow(list);
    printf("  switched to the tree; list and editor closed: %s\n", closed ? "yes" : "no (FAILED)");
    return closed && count > 0;
}

// Runs the installed quillarvent.exe with this program's own output, as a
// user at a command prompt would; its exit status.
DWORD run_quillarvent(const std::string &arguments) {
    printf("\n> quillarvent %s\n", arguments.c_str());
    std::string command = "\"" + std::string(install_folder) + "quillarvent.exe\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_OUTPUT_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process))
        return GetLastError() | 0x80000000u;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    printf("  (exit status %lu)\n", static_cast<unsigned long>(code));
    return code;
}

// Backs the descriptions up, loses one the way a program that saves by
// replacing the file does, and brings it back from the backup.
bool round_trip_through_a_backup() {
    printf("\nThe descriptions from the command line, quillarvent.exe beside the library:\n");
    std::string backup = std::string(sample) + "-backup.txt";
    std::string notes = std::string(sample) + "\\notes.txt";
    bool ok = run_quillarvent("list") == 0;
    ok = run_quillarvent("backup \"" + backup + "\"") == 0 && ok;
    // A program that saves into a new file and renames it over the old one
    // leaves the item without its stream. (Wine keeps a stream in a file of
    // its own beside the item; that program would not have copied it.)
    write_file(notes + ".tmp", "notes, saved by another program");
    MoveFileExA((notes + ".tmp").c_str(), notes.c_str(), MOVEFILE_REPLACE_EXISTING);
    DeleteFileA((notes + ":plivar").c_str());
    printf("\nnotes.txt saved again by a program that replaces the file.\n");
    ok = run_quillarvent("check") == 1 && ok;
    ok = run_quillarvent("restore \"" + backup + "\" --only-missing") == 0 && ok;
    ok = run_quillarvent("check") == 0 && ok;
    ok = run_quillarvent("show \"" + notes + "\"") == 0 && ok;
    std::string column = column_of(wide(notes));
    printf("\nnotes.txt's column again: %s\n", column.empty() ? "(empty)" : column.c_str());
    DeleteFileA(backup.c_str());
    return ok && !column.empty();
}

bool registered() {
    HKEY key;
    std::string path = std::string("CLSID\\") + main_clsid_text;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

} // namespace

int main() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    prepare_sample();
    printf("Sample folder %s: report.txt was described by an older installation,\n"
           "plan.txt, todo.txt and photos\\ carry descriptions from another machine.\n"
           "File tips come through Wine's shell (SHParseDisplayName, GetUIObjectOf);\n"
           "folder tips straight from the handler, as Wine's shell asks none for folders.\n\n",
           sample);

    std::string said;
    DWORD code = run_regsvr32("/s", "Error", IDOK, &said);
    printf("regsvr32 plivar_23.dll -> %s\n", code == 0 ? "registered" : "FAILED");
    if (!said.empty())
        printf("  the library said: \"%s\"\n", said.c_str());
    if (code != 0)
        return 1;

    bool edited = describe_through_the_editor("notes.txt", 5, "Meeting notes - keep until March");

    for (const sample_item &item : items) {
        std::string path = std::string(sample) + "\\" + item.name;
        std::wstring w = wide(path);
        printf("\n%s%s\n", item.name, item.folder ? "\\" : "");
        print_indented("overlay", overlay_of(w));
        std::string column = column_of(w);
        print_indented("column", column.empty() ? "(empty)" : column);
        print_indented("tip", info_tip(w, item.folder));
    }
    printf("\n%s\\ (the folder itself)\n", sample);
    print_indented("tip", info_tip(wide(sample), true));
    edited = browse_descriptions("notes.txt") && edited;
    edited = round_trip_through_a_backup() && edited;

    code = run_regsvr32("/s /u", "Remove descriptions ?", IDYES, &said);
    printf("\nregsvr32 /u plivar_23.dll -> %s; asked \"%s\", answered Yes\n",
           code == 0 ? "unregistered" : "FAILED", said.c_str());
    printf("handler classes still registered: %s\n", registered() ? "yes (FAILED)" : "no");
    CoUninitialize();
    return code == 0 && !registered() && edited ? 0 : 1;
}
