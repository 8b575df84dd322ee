// quillarvent.exe run as a user runs it: a process of its own, with its
// standard input, output and error in files, against the prefix's own
// files.dat.

#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

struct run_result {
    DWORD status;
    std::string out;
    std::string err;
};

std::wstring wide(const std::string &ansi) {
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring text(n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &text[0], n);
    return text;
}

std::string utf8(const std::wstring &text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n,
                        nullptr, nullptr);
    return bytes;
}

// One argument as the C runtime splits a command line again.
std::wstring quoted(const std::wstring &argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

HANDLE inheritable(const std::string &path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, TRUE};
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &security,
                       disposition, 0, nullptr);
}

// Wine closes an ended process's handles a moment after it reports the
// end: the child may still hold its output files open for writing.
std::string shared_read(const std::string &path) {
    std::string bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char common[MAX_PATH];
        ASSERT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common));
        config_ = std::string(common) + "\\Quillarvent\\";
        delete_tree(config_);
        ASSERT_TRUE(CreateDirectoryA(config_.c_str(), nullptr));
        ASSERT_TRUE(write_whole_file(config_ + "files.dat", ""));
        // The items' folder as the file system spells it, which is how the
        // program names items.
        char spelled[MAX_PATH];
        ASSERT_NE(0u, GetLongPathNameA(items_.path().c_str(), spelled, MAX_PATH));
        folder_ = spelled;
    }
    void TearDown() override { delete_tree(config_); }

    run_result run(const std::vector<std::wstring> &arguments, const std::string &input = "",
                   const std::string &current_folder = "") {
        std::wstring command = quoted(wide(build_output_folder() + "quillarvent.exe"));
        for (const std::wstring &argument : arguments)
            command += L" " + quoted(argument);
        // Names of their own for each run: a process that has ended may
        // still hold its files for a moment.
        std::string run_name = io_.path() + "run" + std::to_string(++runs_);
        std::string in = run_name + ".in", out = run_name + ".out", err = run_name + ".err";
        EXPECT_TRUE(write_whole_file(in, input));
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inheritable(in, GENERIC_READ, OPEN_EXISTING);
        startup.hStdOutput = inheritable(out, GENERIC_WRITE, CREATE_ALWAYS);
        startup.hStdError = inheritable(err, GENERIC_WRITE, CREATE_ALWAYS);
        PROCESS_INFORMATION process = {};
        run_result result = {0xFFFFFFFF, "", ""};
        std::wstring folder = wide(current_folder);
        if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                           folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
            // A message box or a wait on input would hold it here.
            if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
                TerminateProcess(process.hProcess, 99);
                ADD_FAILURE() << "quillarvent did not end";
            }
            GetExitCodeProcess(process.hProcess, &result.status);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
        for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
            CloseHandle(handle);
        result.out = shared_read(out);
        result.err = shared_read(err);
        return result;
    }

    std::string make_file(const std::string &name, const std::string &content = "data") {
        std::string path = folder_ + name;
        EXPECT_TRUE(write_whole_file(path, content));
        return path;
    }
    std::string make_folder(const std::string &name) {
        std::string path = folder_ + name;
        EXPECT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
        return path;
    }
    // The stream as it lies on disk: the kind's four bytes and the text.
    static std::string stream_of(const std::string &path) {
        std::string bytes;
        read_whole_file(path + ":plivar", bytes);
        return bytes;
    }
    static std::string stream_bytes(int kind, const std::string &text) {
        return std::string(reinterpret_cast<const char *>(&kind), 4) + text;
    }
    std::string index_bytes() {
        std::string bytes;
        read_whole_file(config_ + "files.dat", bytes);
        return bytes;
    }

    TempFolder items_, io_;
    int runs_ = 0;
    std::string folder_; // with its trailing backslash
    std::string config_;
};

size_t count_of(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// What a program that saves by writing a new file and renaming it over the
// old one leaves: the item, without its description. On NTFS the rename
// drops the stream; Wine keeps it in a file of its own beside the item,
// which such a program would not have known about either.
void replace_like_an_editor(const std::string &path) {
    std::string fresh = path + ".new";
    ASSERT_TRUE(write_whole_file(fresh, "saved anew"));
    ASSERT_TRUE(MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    DeleteFileA((path + ":plivar").c_str());
}

} // namespace

TEST_F(ConsoleTest, ABackupBringsBackExactlyTheDescriptionsThatWereLost) {
    std::vector<std::string> paths, texts;
    for (int i = 0; i < 50; ++i) {
        std::string folder = folder_ + "f" + std::to_string(i % 5);
        if (i < 5)
            make_folder("f" + std::to_string(i));
        // The last five are the folders themselves.
        std::string path =
            i >= 45
                ? folder
                : make_file("f" + std::to_string(i % 5) + "\\item " + std::to_string(i) + ".txt");
        std::string text = "description " + std::to_string(i) + " \xE9t\xE9 \\ back\tslash";
        if (i % 4 == 1)
            text += "\r\nsecond line\r\n\r\nfourth line";
        if (i % 7 == 3)
            text = std::string(2048 - 4, 'x') + "\xE9nd!"; // at the limit
        int kind = i % 6;
        run_result set;
        if (i % 4 == 1) {
            // From standard input, with Unix line ends and a final one.
            std::string input;
            for (char c : text)
                if (c != '\r')
                    input += c == '\xE9' ? std::string("\xC3\xA9") : std::string(1, c);
            set = run({L"set", wide(path), L"--kind", std::to_wstring(kind), L"-"}, input + "\n");
        } else {
            set = run({L"set", wide(path), L"--kind", std::to_wstring(kind), wide(text)});
        }
        ASSERT_EQ(0u, set.status) << path << ": " << set.err;
        ASSERT_EQ(stream_bytes(kind, text), stream_of(path)) << path;
        paths.push_back(path);
        texts.push_back(text);
    }
    // Named relative to the current folder and in another case, an item
    // gets the record of its real spelling, the one the shell asks about.
    run_result relative = run({L"set", L"ITEM 0.TXT", L"again"}, "", folder_ + "f0");
    ASSERT_EQ(0u, relative.status) << relative.err;
    texts[0] = "again";
    run_result listed = run({L"list", L"--tsv"});
    ASSERT_EQ(0u, listed.status) << listed.err;
    EXPECT_EQ(50u, count_of(listed.out, "\r\n")) << listed.out;
    EXPECT_EQ(1u, count_of(listed.out, "0\t" + utf8(wide(paths[0])) + "\tagain\r\n")) << listed.out;

    std::string backup = io_.path() + "descriptions.txt";
    run_result backed_up = run({L"backup", wide(backup)});
    ASSERT_EQ(0u, backed_up.status) << backed_up.err;
    std::string backup_text;
    ASSERT_TRUE(read_whole_file(backup, backup_text));
    EXPECT_EQ(51u, count_of(backup_text, "\r\n"));

    std::vector<size_t> lost;
    for (size_t i = 0; i < paths.size(); i += 3)
        if (i < 45) {
            replace_like_an_editor(paths[i]);
            lost.push_back(i);
        }
    // A description changed after the backup is newer than the backup.
    ASSERT_EQ(0u, run({L"set", wide(paths[1]), L"changed since"}).status);
    texts[1] = "changed since";

    run_result checked = run({L"check"});
    EXPECT_EQ(1u, checked.status);
    EXPECT_EQ(lost.size(), count_of(checked.out, "stream gone: ")) << checked.out;

    run_result restored = run({L"restore", wide(backup), L"--only-missing"});
    ASSERT_EQ(0u, restored.status) << restored.err;
    EXPECT_EQ(std::to_string(lost.size()) + " descriptions restored, " +
                  std::to_string(50 - lost.size()) + " already in place\r\n",
              restored.out);
    for (size_t i = 0; i < paths.size(); ++i) {
        int kind = i == 1 ? 1 : static_cast<int>(i % 6);
        EXPECT_EQ(stream_bytes(kind, texts[i]), stream_of(paths[i])) << paths[i];
    }
    checked = run({L"check", wide(folder_)});
    EXPECT_EQ(0u, checked.status) << checked.out << checked.err;
    EXPECT_EQ("", checked.out + checked.err);

    std::string index = index_bytes();
    run_result again = run({L"restore", wide(backup), L"--only-missing"});
    EXPECT_EQ(0u, again.status);
    EXPECT_EQ("0 descriptions restored, 50 already in place\r\n", again.out);
    EXPECT_EQ(index, index_bytes());
}
