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
#include <string>
#include <vector>

#include "module/class_ids.h"
#include "tests/message_box_catcher.h"

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

    code = run_regsvr32("/s /u", "Remove descriptions ?", IDYES, &said);
    printf("\nregsvr32 /u plivar_23.dll -> %s; asked \"%s\", answered Yes\n",
           code == 0 ? "unregistered" : "FAILED", said.c_str());
    printf("handler classes still registered: %s\n", registered() ? "yes (FAILED)" : "no");
    CoUninitialize();
    return code == 0 && !registered() ? 0 : 1;
}
