#include "tests/store_fixture.h"

#include <cstring>

int run_append_child(int argc, char **argv);
int run_stress_child(int argc, char **argv);

// The store tests start copies of this program as second processes.
int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "--append-child") == 0)
        return run_append_child(argc, argv);
    if (argc > 1 && strcmp(argv[1], "--stress-child") == 0)
        return run_stress_child(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

bool StoreTest::run_children(const char *mode, const std::vector<std::string> &own_arguments) {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!go)
        return false;
    SetHandleInformation(go, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::vector<PROCESS_INFORMATION> children;
    bool all_well = true;
    for (const std::string &own : own_arguments) {
        // "...\." so that the folder's backslash does not quote the quote.
        std::string command = std::string("\"") + exe + "\" " + mode + " \"" + index_file_ +
                              "\" \"" + temp_.path() + ".\" " +
                              std::to_string(reinterpret_cast<uintptr_t>(go)) + " " + own;
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION child = {};
        if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                           &startup, &child))
            children.push_back(child);
        else
            all_well = false;
    }
    Sleep(500);
    SetEvent(go);
    std::vector<HANDLE> processes;
    for (const auto &child : children)
        processes.push_back(child.hProcess);
    DWORD waited = processes.empty() ? WAIT_OBJECT_0
                                     : WaitForMultipleObjects(static_cast<DWORD>(processes.size()),
                                                              processes.data(), TRUE, 300000);
    for (auto &child : children) {
        if (waited == WAIT_TIMEOUT)
            TerminateProcess(child.hProcess, 1);
        DWORD code = 1;
        GetExitCodeProcess(child.hProcess, &code);
        all_well = all_well && code == 0;
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
    }
    CloseHandle(go);
    return all_well && waited != WAIT_TIMEOUT;
}

child_context child_start(char **argv) {
    strcpy(index_path, argv[2]);
    child_context context;
    context.folder = argv[3];
    if (context.folder.size() > 1 &&
        context.folder.compare(context.folder.size() - 2, 2, "\\.") == 0)
        context.folder.pop_back();
    keep_file.set_path(StoreTest::wide(context.folder + "keep.dat"));
    context.go = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(_strtoui64(argv[4], nullptr, 10)));
    return context;
}
