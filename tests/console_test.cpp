// quillarvent.exe run as a user runs it: a process of its own, with its
// standard input, output and error in files, against the prefix's own
// files.dat.

#include <gtest/gtest.h>

#include <shlobj.h>
#include <sddl.h>

#include <functional>
#include <string>
#include <vector>

#include "module/settings.h"
#include "store/item_info.h"

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
        clear_user_keep_folder();
        ASSERT_TRUE(CreateDirectoryA(config_.c_str(), nullptr));
        ASSERT_TRUE(write_whole_file(config_ + "files.dat", ""));
        // The items' folder as the file system spells it, which is how the
        // program names items.
        char spelled[MAX_PATH];
        ASSERT_NE(0u, GetLongPathNameA(items_.path().c_str(), spelled, MAX_PATH));
        folder_ = spelled;
    }
    void TearDown() override {
        delete_tree(config_);
        clear_user_keep_folder();
    }

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
        startup.hStdOutput = output_ ? output_ : inheritable(out, GENERIC_WRITE, CREATE_ALWAYS);
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
            if (handle != output_)
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
    HANDLE output_ = nullptr; // standard output of the next runs, when set
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
    EXPECT_EQ(1u, count_of(listed.out, "0\t" + utf8(wide(paths[0])) + "\tagain\tok\r\n")) << listed.out;

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
    EXPECT_EQ(0u, checked.status);
    EXPECT_EQ(lost.size(), count_of(checked.out, "description kept, item replaced")) << checked.out;
    // The nightly backup after the loss keeps what only the earlier one has.
    backed_up = run({L"backup", wide(backup)});
    EXPECT_EQ(1u, backed_up.status);
    EXPECT_EQ(lost.size(), count_of(backed_up.err, "kept from the earlier backup"))
        << backed_up.err;

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

TEST_F(ConsoleTest, DescriptIonFilesCarryDescriptionsToAFolderWithoutStreams) {
    make_folder("a");
    make_folder("a\\sub");
    std::string plain = make_file("a\\plain.txt"), spaced = make_file("a\\two words.txt"),
                deep = make_file("a\\sub\\deep.txt");
    make_file("a\\foreign.txt");
    std::string sub = folder_ + "a\\sub";
    ASSERT_EQ(0u, run({L"set", wide(plain), L"--kind", L"2", L"single"}).status);
    ASSERT_EQ(0u, run({L"set", wide(spaced), L"-"}, "first\nsecond").status);
    ASSERT_EQ(0u, run({L"set", wide(sub), L"folder text"}).status);
    ASSERT_EQ(0u, run({L"set", wide(deep), L"deep text"}).status);
    // Lines another program wrote: one for an item without a description
    // here stays, the one for plain.txt gives way.
    std::string existing = "foreign.txt kept as it was\r\nplain.txt old text\r\n";
    ASSERT_TRUE(write_whole_file(folder_ + "a\\descript.ion", existing));

    run_result exported = run({L"export", wide(folder_ + "a"), L"--recursive"});
    ASSERT_EQ(0u, exported.status) << exported.err;
    std::string top, below;
    ASSERT_TRUE(read_whole_file(folder_ + "a\\descript.ion", top));
    ASSERT_TRUE(read_whole_file(folder_ + "a\\sub\\descript.ion", below));
    EXPECT_EQ("foreign.txt kept as it was\r\nplain.txt single\r\nsub folder text\r\n"
              "\"two words.txt\" first\\nsecond\x04\xC2\r\n",
              top);
    EXPECT_EQ("deep.txt deep text\r\n", below);
    EXPECT_TRUE(GetFileAttributesA((folder_ + "a\\sub\\descript.ion").c_str()) &
                FILE_ATTRIBUTE_HIDDEN);
    exported = run({L"export", wide(folder_ + "a"), L"--recursive"});
    EXPECT_EQ("4 descriptions exported, 0 descript.ion files written\r\n", exported.out);

    // The same files, copied byte for byte without their streams.
    make_folder("b");
    make_folder("b\\sub");
    for (const char *name : {"plain.txt", "two words.txt", "foreign.txt", "descript.ion",
                             "sub\\deep.txt", "sub\\descript.ion"}) {
        std::string bytes;
        ASSERT_TRUE(read_whole_file(folder_ + "a\\" + name, bytes));
        make_file(std::string("b\\") + name, bytes);
    }
    run_result imported = run({L"import", wide(folder_ + "b"), L"--recursive"});
    ASSERT_EQ(0u, imported.status) << imported.err;
    EXPECT_EQ(stream_bytes(0, "single"), stream_of(folder_ + "b\\plain.txt"));
    EXPECT_EQ(stream_bytes(0, "first\r\nsecond"), stream_of(folder_ + "b\\two words.txt"));
    EXPECT_EQ(stream_bytes(0, "folder text"), stream_of(folder_ + "b\\sub"));
    EXPECT_EQ(stream_bytes(0, "deep text"), stream_of(folder_ + "b\\sub\\deep.txt"));
    EXPECT_EQ(stream_bytes(0, "kept as it was"), stream_of(folder_ + "b\\foreign.txt"));
    std::string index = index_bytes();
    imported = run({L"import", wide(folder_ + "b"), L"--recursive"});
    EXPECT_EQ(0u, imported.status);
    EXPECT_EQ(0u, imported.out.find("0 descriptions imported, 5 already in place")) << imported.out;
    EXPECT_EQ(index, index_bytes());

    // Written by hand: quoted and plain names, one and several lines, ANSI
    // and UTF-8 with its mark. A description already there stays unless
    // --replace, which keeps its marker.
    make_folder("c");
    make_folder("c\\u");
    std::string one = make_file("c\\one.txt"), two = make_file("c\\two two.txt"),
                mine = make_file("c\\mine.txt"), three = make_file("c\\u\\three.txt");
    ASSERT_EQ(0u, run({L"set", wide(mine), L"--kind", L"4", L"my own"}).status);
    ASSERT_TRUE(write_whole_file(folder_ + "c\\descript.ion",
                                 "one.txt caf\xE9 \x80\r\n\"two two.txt\" a\\nb\x04\xC2\r\n"
                                 "mine.txt theirs\r\n"));
    ASSERT_TRUE(
        write_whole_file(folder_ + "c\\u\\descript.ion",
                         "\xEF\xBB\xBF\"three.txt\" na\xC3\xAFve\\n\xE2\x82\xAC\x04\xC2\n"));
    imported = run({L"import", wide(folder_ + "c"), L"--recursive"});
    EXPECT_EQ(0u, imported.status) << imported.err;
    EXPECT_EQ(stream_bytes(0, "caf\xE9 \x80"), stream_of(one));
    EXPECT_EQ(stream_bytes(0, "a\r\nb"), stream_of(two));
    EXPECT_EQ(stream_bytes(0, "na\xEFve\r\n\x80"), stream_of(three));
    EXPECT_EQ(stream_bytes(4, "my own"), stream_of(mine));
    imported = run({L"import", wide(folder_ + "c"), L"--replace"});
    EXPECT_EQ(0u, imported.status) << imported.err;
    EXPECT_EQ(stream_bytes(4, "theirs"), stream_of(mine));
}

TEST_F(ConsoleTest, BadInputIsNamedAndTheOtherItemsAreStillDone) {
    // Usage errors change nothing and say why.
    struct usage_case {
        std::vector<std::wstring> arguments;
        const char *message;
    } usage_cases[] = {
        {{}, "usage: quillarvent"},
        {{L"frobnicate"}, "unknown command"},
        {{L"show"}, "wrong number of operands"},
        {{L"set", L"x.txt", L"--kind", L"9", L"text"}, "kind \"9\" is outside 0-5"},
        {{L"set", L"x.txt", L"--kind"}, "--kind needs"},
        {{L"list", L"--fix"}, "not an option of list"},
    };
    for (const usage_case &c : usage_cases) {
        run_result result = run(c.arguments);
        EXPECT_EQ(2u, result.status) << c.message;
        EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
    }

    std::string good = make_file("good.txt"), kept = make_file("kept.txt"),
                last = make_file("last.txt");
    ASSERT_EQ(0u, run({L"set", wide(kept), L"--kind", L"3", L"keep me"}).status);
    std::wstring polish = wide(folder_) + L"\x141odz.txt";
    CloseHandle(CreateFileW(polish.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    std::string backup = io_.path() + "bad backup.txt";
    ASSERT_TRUE(write_whole_file(backup, "# Quillarvent descriptions 1\r\n"
                                         "1\t" +
                                             good +
                                             "\tgood\r\n"
                                             "no tabs at all\r\n"
                                             "7\t" +
                                             good + "\tkind seven\r\n" + "2\t" + utf8(polish) +
                                             "\tpolish\r\n"
                                             "2\t" +
                                             kept + "\t" + std::string(2049, 'k') +
                                             "\r\n"
                                             "2\t" +
                                             folder_ +
                                             "missing.txt\tgone\r\n"
                                             "2\t" +
                                             kept +
                                             "\tbad \\q escape\r\n"
                                             "5\t" +
                                             last + "\tlast\r\n"));
    run_result restored = run({L"restore", wide(backup)});
    EXPECT_EQ(1u, restored.status);
    for (const char *line : {":3: not KIND<tab>PATH<tab>TEXT", ":4: kind \"7\" outside 0-5",
                             ":5: ", ":6: ", ":7: ", ":8: the description has a bad escape"})
        EXPECT_EQ(1u, count_of(restored.err, "bad backup.txt" + std::string(line)))
            << line << restored.err;
    EXPECT_NE(std::string::npos, restored.err.find("longer than 2048 bytes"));
    EXPECT_NE(std::string::npos, restored.err.find("missing.txt: not found"));
    EXPECT_EQ(stream_bytes(1, "good"), stream_of(good));
    EXPECT_EQ(stream_bytes(3, "keep me"), stream_of(kept));
    EXPECT_EQ(stream_bytes(5, "last"), stream_of(last));
    EXPECT_FALSE(path_exists(folder_ + "Lodz.txt"));
    EXPECT_FALSE(path_exists(folder_ + "missing.txt"));

    for (const std::string &file : {io_.path() + "no such backup.txt", good}) {
        run_result refused = run({L"restore", wide(file)});
        EXPECT_EQ(1u, refused.status) << file;
        EXPECT_NE(std::string::npos,
                  refused.err.find(file == good ? "not a Quillarvent backup" : "cannot be read"))
            << refused.err;
    }

    // A name in descript.ion is an item of its folder, never a way out of it.
    make_folder("d");
    std::string inside = make_file("d\\inside.txt");
    ASSERT_TRUE(write_whole_file(folder_ + "d\\descript.ion",
                                 "..\\good.txt escaped\r\n\"sub\\x.txt\" deeper\r\n"
                                 "\"unclosed.txt text\r\ninside.txt " +
                                     std::string(2100, 'i') + "\r\n"));
    run_result imported = run({L"import", wide(folder_ + "d")});
    EXPECT_EQ(1u, imported.status);
    EXPECT_EQ(4u, count_of(imported.err, "descript.ion:")) << imported.err;
    EXPECT_EQ(stream_bytes(1, "good"), stream_of(good));
    EXPECT_EQ("", stream_of(inside));

    // The editor's limit: the text is cut on a character boundary, and the
    // warning says so.
    run_result long_text = run({L"set", wide(good), L"-"}, std::string(3000, 'z'));
    EXPECT_EQ(1u, long_text.status);
    EXPECT_NE(std::string::npos,
              long_text.err.find("Description more than 2000 chars description will be truncated"))
        << long_text.err;
    EXPECT_EQ(stream_bytes(1, std::string(2048, 'z')), stream_of(good));

    run_result outside = run({L"set", polish, L"text"});
    EXPECT_EQ(1u, outside.status);
    EXPECT_NE(std::string::npos, outside.err.find("ANSI code page")) << outside.err;
    for (const wchar_t *command : {L"show", L"remove"}) {
        run_result nothing = run({command, wide(last + ".none")});
        EXPECT_EQ(1u, nothing.status);
        EXPECT_NE(std::string::npos, nothing.err.find("not found")) << nothing.err;
    }
}

TEST_F(ConsoleTest, CheckFindsWhatTheIndexAndTheItemsDisagreeOn) {
    std::string gone = make_file("gone.txt"), stays = make_file("stays.txt"),
                stranger = make_file("stranger.txt");
    ASSERT_EQ(0u, run({L"set", wide(gone), L"soon gone"}).status);
    ASSERT_EQ(0u, run({L"set", wide(stays), L"stays"}).status);
    ASSERT_TRUE(DeleteFileA((gone + ":plivar").c_str()));
    ASSERT_TRUE(DeleteFileA(gone.c_str()));
    // Described on another machine: the index has never seen it.
    ASSERT_TRUE(write_whole_file(stranger + ":plivar", stream_bytes(2, "from elsewhere")));

    run_result checked = run({L"check", wide(folder_), L"--tsv"});
    EXPECT_EQ(1u, checked.status);
    EXPECT_EQ("item-gone\t" + gone + "\r\nnot-indexed\t" + stranger + "\r\n", checked.out);
    checked = run({L"check", wide(folder_), L"--fix"});
    EXPECT_EQ(0u, checked.status) << checked.err;
    EXPECT_EQ("item gone, dropped from the index: " + gone +
                  "\r\nnot indexed, now indexed: " + stranger + "\r\n",
              checked.out);
    run_result listed = run({L"list", L"--tsv"});
    EXPECT_EQ("0\t" + stays + "\tstays\tok\r\n2\t" + stranger + "\tfrom elsewhere\tok\r\n",
              listed.out);
    checked = run({L"check", wide(folder_)});
    EXPECT_EQ(0u, checked.status);
    EXPECT_EQ("", checked.out + checked.err);
}

// A command that needs the index and cannot read files.dat does nothing and
// says so once; the shell's quiet start is no model for a script.
TEST_F(ConsoleTest, WithoutAReadableIndexNothingIsDone) {
    std::string item = make_file("item.txt");
    ASSERT_EQ(0u, run({L"set", wide(item), L"kept"}).status);
    std::string backup = io_.path() + "good backup.txt";
    ASSERT_EQ(0u, run({L"backup", wide(backup)}).status);
    std::string good_backup, index;
    ASSERT_TRUE(read_whole_file(backup, good_backup));
    ASSERT_TRUE(read_whole_file(config_ + "files.dat", index));
    std::string held = config_ + "files.dat";
    HANDLE holder = INVALID_HANDLE_VALUE;

    struct state {
        const char *name;
        std::function<void()> make, undo;
    } states[] = {
        {"files.dat held by another process past the wait",
         [&] {
             holder = CreateFileA(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
         },
         [&] { CloseHandle(holder); }},
        {"files.dat is a folder",
         [&] {
             DeleteFileA(held.c_str());
             CreateDirectoryA(held.c_str(), nullptr);
         },
         [&] {
             RemoveDirectoryA(held.c_str());
             write_whole_file(held, index);
         }},
        {"no configuration folder", [&] { delete_tree(config_); },
         [&] {
             CreateDirectoryA(config_.c_str(), nullptr);
             write_whole_file(held, index);
         }},
    };
    for (const state &broken : states) {
        SCOPED_TRACE(broken.name);
        broken.make();
        for (std::vector<std::wstring> command :
             {std::vector<std::wstring>{L"list"},
              {L"backup", wide(backup)},
              {L"check", wide(folder_), L"--fix"},
              {L"set", wide(item), L"changed"},
              {L"remove", wide(item)}}) {
            SCOPED_TRACE(utf8(command[0]));
            run_result result = run(command);
            EXPECT_EQ(1u, result.status);
            EXPECT_EQ("", result.out);
            EXPECT_EQ(1u, count_of(result.err, "\r\n")) << result.err;
            EXPECT_NE(std::string::npos, result.err.find("files.dat: the index cannot be read"))
                << result.err;
        }
        std::string now;
        EXPECT_TRUE(read_whole_file(backup, now));
        EXPECT_EQ(good_backup, now) << "the good backup was replaced";
        EXPECT_EQ(stream_bytes(0, "kept"), stream_of(item));
        broken.undo();
    }
}

// A backup replaces only a backup, never a folder, another file or one of
// the configuration folder's; "-" is standard output and input.
TEST_F(ConsoleTest, ABackupReplacesOnlyABackup) {
    std::string item = make_file("item.txt");
    ASSERT_EQ(0u, run({L"set", wide(item), L"--kind", L"2", L"to and fro"}).status);
    std::string notes = make_file("notes.txt", "my own notes\r\n");
    std::string index = index_bytes();
    for (const std::string &target :
         {folder_.substr(0, folder_.size() - 1), notes, config_ + "files.dat", config_ + "b.txt"}) {
        SCOPED_TRACE(target);
        std::string before;
        bool existed = read_whole_file(target, before);
        run_result result = run({L"backup", wide(target)});
        EXPECT_EQ(1u, result.status);
        EXPECT_EQ(1u, count_of(result.err, "\r\n")) << result.err;
        std::string after;
        EXPECT_EQ(existed, read_whole_file(target, after));
        EXPECT_EQ(before, after);
    }
    EXPECT_EQ(index, index_bytes());

    run_result out = run({L"backup", L"-"});
    ASSERT_EQ(0u, out.status) << out.err;
    EXPECT_EQ("# Quillarvent descriptions 1\r\n2\t" + item + "\tto and fro\r\n", out.out);
    ASSERT_EQ(0u, run({L"remove", wide(item)}).status);
    run_result in = run({L"restore", L"-"}, out.out);
    EXPECT_EQ(0u, in.status) << in.err;
    EXPECT_EQ(stream_bytes(2, "to and fro"), stream_of(item));

    // Output that cannot be written is a failure, not "done".
    HANDLE reader, writer;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    ASSERT_TRUE(CreatePipe(&reader, &writer, &inherit, 0));
    CloseHandle(reader);
    output_ = writer;
    for (const wchar_t *command : {L"list", L"--version"})
        EXPECT_NE(0u, run({command}).status) << utf8(command);
    output_ = nullptr;
    CloseHandle(writer);
}

// files.dat is writable by every user: a planted record is reported, never
// opened, and check --fix drops it.
TEST_F(ConsoleTest, PlantedRecordsAreNeverOpened) {
    std::string good = make_file("good.txt");
    ASSERT_EQ(0u, run({L"set", wide(good), L"mine"}).status);
    std::string decoy = make_file("one.txt");
    ASSERT_TRUE(write_whole_file(decoy + ":plivar", stream_bytes(3, "someone else's")));
    const char pipe_name[] = "\\\\.\\pipe\\quillarvent_console_probe";
    HANDLE pipe =
        CreateNamedPipeA(pipe_name, PIPE_ACCESS_DUPLEX, PIPE_NOWAIT, 8, 64, 64, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
    std::string planted = index_bytes();
    for (const char *path : {pipe_name, "one.txt", "C:\\x\\..\\one.txt", "\\\\?\\C:\\one.txt"}) {
        std::string record;
        item_info(0, wide(path).c_str()).save_record(record);
        planted += record;
    }
    // A record under a key the shell never looks up, as one written under
    // another code page: check says so once and --fix indexes it again.
    std::string rekeyed = make_file("rekeyed.txt");
    ASSERT_TRUE(write_whole_file(rekeyed + ":plivar", stream_bytes(5, "keyed anew")));
    item_info wrong_key(5, wide(rekeyed).c_str());
    wrong_key.key ^= 0x5A5A;
    wrong_key.save_record(planted);
    ASSERT_TRUE(write_whole_file(config_ + "files.dat", planted));

    std::string backup = io_.path() + "planted.txt";
    for (std::vector<std::wstring> command : {std::vector<std::wstring>{L"list", L"--tsv"},
                                              {L"backup", wide(backup)},
                                              {L"export", wide(folder_)},
                                              {L"check"}}) {
        SCOPED_TRACE(utf8(command[0]));
        run_result result = run(command, "", folder_);
        EXPECT_EQ(1u, result.status);
        EXPECT_EQ(std::string::npos, result.out.find("someone else's")) << result.out;
        EXPECT_EQ(4u, count_of(result.err + result.out, "not a full path")) << result.err;
    }
    EXPECT_FALSE(ConnectNamedPipe(pipe, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_LISTENING), GetLastError()) << "the pipe was opened";
    std::string backed_up;
    ASSERT_TRUE(read_whole_file(backup, backed_up));
    EXPECT_EQ("# Quillarvent descriptions 1\r\n0\t" + good + "\tmine\r\n5\t" + rekeyed +
                  "\tkeyed anew\r\n",
              backed_up);

    run_result checked = run({L"check", L"--tsv"}, "", folder_);
    EXPECT_EQ(1u, count_of(checked.out, "wrong-key\t" + rekeyed + "\r\n")) << checked.out;
    run_result fixed = run({L"check", L"--fix"}, "", folder_);
    EXPECT_EQ(0u, fixed.status) << fixed.out << fixed.err;
    EXPECT_EQ(4u, count_of(fixed.out, "not a full path, dropped from the index")) << fixed.out;
    EXPECT_EQ(1u, count_of(fixed.out, "indexed again: " + rekeyed)) << fixed.out;
    run_result listed = run({L"list", L"--tsv"});
    EXPECT_EQ(0u, listed.status) << listed.err;
    EXPECT_EQ("0\t" + good + "\tmine\tok\r\n5\t" + rekeyed + "\tkeyed anew\tok\r\n",
              listed.out);
    EXPECT_EQ(0u, run({L"check"}).status);
    EXPECT_EQ(stream_bytes(3, "someone else's"), stream_of(decoy));
    EXPECT_FALSE(ConnectNamedPipe(pipe, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_LISTENING), GetLastError()) << "the pipe was opened";
    CloseHandle(pipe);
}

// Names in files come in any case, and twice; the index gets the shell's
// spelling once, and the first line wins.
TEST_F(ConsoleTest, ItemsFromFilesAreSpelledAsTheShellSpellsThem) {
    make_folder("e");
    std::string readme = make_file("e\\README.txt"), notes = make_file("e\\Notes.txt");
    ASSERT_TRUE(write_whole_file(folder_ + "e\\descript.ion",
                                 "readme.txt from a dos file manager\r\n"
                                 "README.TXT the same item again\r\n\x1A\r\n"));
    run_result imported = run({L"import", wide(folder_ + "e")});
    EXPECT_EQ(1u, imported.status);
    EXPECT_EQ(1u, count_of(imported.err, "descript.ion:2: ")) << imported.err;
    EXPECT_EQ(1u, count_of(imported.err, "was named before")) << imported.err;
    EXPECT_EQ(stream_bytes(0, "from a dos file manager"), stream_of(readme));

    std::string lower = folder_ + "e\\notes.TXT";
    CharLowerBuffA(&lower[0], static_cast<DWORD>(lower.size() - 8));
    std::string backup = io_.path() + "backup.txt";
    ASSERT_TRUE(write_whole_file(backup, "# Quillarvent descriptions 1\r\n"
                                         "2\t" +
                                             lower +
                                             "\tfirst\r\n"
                                             "3\t" +
                                             notes + "\tsecond\r\n"));
    run_result restored = run({L"restore", wide(backup)});
    EXPECT_EQ(1u, restored.status);
    EXPECT_EQ(1u, count_of(restored.err, "backup.txt:3: ")) << restored.err;
    EXPECT_EQ(stream_bytes(2, "first"), stream_of(notes));
    restored = run({L"restore", wide(backup)});
    EXPECT_EQ("0 descriptions restored, 1 already in place\r\n", restored.out);

    run_result listed = run({L"list", L"--tsv", wide(folder_ + "e")});
    EXPECT_EQ("2\t" + notes + "\tfirst\tok\r\n0\t" + readme + "\tfrom a dos file manager\tok\r\n",
              listed.out);
    run_result checked = run({L"check", wide(folder_ + "e")});
    EXPECT_EQ("", checked.out + checked.err);

    // After "--" a text may start with dashes; an empty text is a text.
    EXPECT_EQ(0u, run({L"set", wide(notes), L"--", L"--dashes"}).status);
    EXPECT_EQ(stream_bytes(2, "--dashes"), stream_of(notes));
    EXPECT_EQ(0u, run({L"set", wide(notes), L""}).status);
    EXPECT_EQ(stream_bytes(2, ""), stream_of(notes));
}

// A line's path is checked as written: "/" and ".." are refused, never
// resolved into another item, and the other lines are done.
TEST_F(ConsoleTest, RestoreChecksEachPathAsWritten) {
    make_folder("T");
    make_folder("T\\a");
    make_folder("a");
    std::string inner = make_file("T\\a\\one.txt"), outer = make_file("a\\one.txt");
    std::string kept = make_file("T\\kept.txt");
    std::string backup = io_.path() + "paths.txt";
    ASSERT_TRUE(write_whole_file(backup, "# Quillarvent descriptions 1\r\n"
                                         "1\t" + folder_ + "T/a\\one.txt\tslashed\r\n"
                                         "1\t" + folder_ + "T\\a\\..\\..\\a\\one.txt\tdotted\r\n"
                                         "1\t" + folder_ + "t\\KEPT.TXT\tkept\r\n"
                                         "1\t" + folder_ + "t\\kept.txt\tkept\r\n"));
    for (bool dry_run : {true, false}) {
        SCOPED_TRACE(dry_run ? "dry run" : "restore");
        std::vector<std::wstring> command{L"restore", wide(backup)};
        if (dry_run)
            command.push_back(L"--dry-run");
        run_result restored = run(command);
        EXPECT_EQ(1u, restored.status);
        EXPECT_EQ(1u, count_of(restored.err, "paths.txt:2: ")) << restored.err;
        EXPECT_EQ(1u, count_of(restored.err, "paths.txt:3: ")) << restored.err;
        EXPECT_EQ(2u, count_of(restored.err, "\r\n")) << restored.err;
        EXPECT_EQ(dry_run ? 1u : 0u, count_of(restored.out, "would write: " + kept)) << restored.out;
        EXPECT_EQ(dry_run ? "" : stream_bytes(1, "kept"), stream_of(kept));
    }
    EXPECT_EQ("", stream_of(inner));
    EXPECT_EQ("", stream_of(outer));
}

// A description removed on purpose leaves later backups; one lost to a
// program that drops streams keeps its earlier line. One item under two
// spellings is one line.
TEST_F(ConsoleTest, BackupsTellARemovalFromALoss) {
    std::string removed = make_file("removed.txt"), lost = make_file("lost.txt");
    for (const std::string &item : {removed, lost})
        ASSERT_EQ(0u, run({L"set", wide(item), L"text of " + wide(item.substr(folder_.size()))}).status);
    // A second record of lost.txt in other case, as an older version wrote it.
    std::string upper = lost;
    CharUpperBuffA(&upper[upper.size() - 8], 8);
    std::string record;
    item_info(0, wide(upper).c_str()).save_record(record);
    ASSERT_TRUE(write_whole_file(config_ + "files.dat", index_bytes() + record));

    std::string backup = io_.path() + "nightly.txt";
    run_result first = run({L"backup", wide(backup)});
    EXPECT_EQ(0u, first.status) << first.err;
    EXPECT_EQ(0u, first.out.find("2 descriptions backed up")) << first.out;
    run_result restored = run({L"restore", wide(backup)});
    EXPECT_EQ(0u, restored.status) << restored.err;

    ASSERT_EQ(0u, run({L"remove", wide(removed)}).status);
    replace_like_an_editor(lost);
    run_result second = run({L"backup", wide(backup)});
    EXPECT_EQ(1u, second.status);
    EXPECT_EQ(1u, count_of(second.err, "\r\n")) << second.err;
    EXPECT_NE(std::string::npos, second.err.find(lost + ": its description stream is gone"));
    std::string text;
    ASSERT_TRUE(read_whole_file(backup, text));
    EXPECT_EQ("# Quillarvent descriptions 1\r\n0\t" + lost + "\ttext of lost.txt\r\n", text);
    restored = run({L"restore", wide(backup), L"--only-missing"});
    EXPECT_EQ(0u, restored.status) << restored.err;
    EXPECT_EQ("", stream_of(removed));
    EXPECT_EQ(stream_bytes(0, "text of lost.txt"), stream_of(lost));
}

// A set whose stream cannot be written changes nothing in files.dat; a DOS
// end-of-file mark after a descript.ion's last text is no part of it.
TEST_F(ConsoleTest, AFailedSetAndAnEndMarkChangeNothing) {
    std::string item = make_file("blocked.txt");
    ASSERT_EQ(0u, run({L"set", wide(item), L"--kind", L"1", L"first"}).status);
    std::string index = index_bytes();
    // Wine keeps the stream in a file beside the item: a folder there makes
    // every write of it fail.
    ASSERT_TRUE(DeleteFileA((item + ":plivar").c_str()));
    ASSERT_TRUE(CreateDirectoryA((item + ":plivar").c_str(), nullptr));
    run_result set = run({L"set", wide(item), L"--kind", L"4", L"second"});
    EXPECT_EQ(1u, set.status);
    EXPECT_EQ(index, index_bytes());
    RemoveDirectoryA((item + ":plivar").c_str());

    make_folder("dos");
    std::string named = make_file("dos\\named.txt");
    ASSERT_TRUE(write_whole_file(folder_ + "dos\\descript.ion", "named.txt from dos\x1A"));
    run_result imported = run({L"import", wide(folder_ + "dos")});
    EXPECT_EQ(0u, imported.status) << imported.err;
    EXPECT_EQ(stream_bytes(0, "from dos"), stream_of(named));
}

// export leaves a descript.ion it cannot add lines to as it was.
TEST_F(ConsoleTest, ExportLeavesAForeignDescriptIonAlone) {
    make_folder("x");
    std::string item = make_file("x\\item.txt");
    ASSERT_EQ(0u, run({L"set", wide(item), L"exported"}).status);
    std::string file = folder_ + "x\\descript.ion";
    for (const std::string &content :
         {std::string("\xFF\xFE") + std::string("o\0t\0h\0e\0r\0", 10),
          std::string("\xFE\xFF") + std::string("\0o\0t\0h\0e\0r", 10),
          std::string("other.txt a\0b\r\n", 15), std::string("other.txt caf\xC3\xA9\r\n")}) {
        ASSERT_TRUE(write_whole_file(file, content));
        run_result exported = run({L"export", wide(folder_ + "x")});
        EXPECT_EQ(1u, exported.status);
        EXPECT_NE(std::string::npos, exported.err.find(file + ": ")) << exported.err;
        std::string now;
        ASSERT_TRUE(read_whole_file(file, now));
        EXPECT_EQ(content, now);
    }
}

// What a user of any command-line program expects.
TEST_F(ConsoleTest, TheCommandLineAsUsersExpectIt) {
    std::string item = make_file("item.txt");
    struct expectation {
        std::vector<std::wstring> command;
        DWORD status;
        const char *out_starts;
    } expectations[] = {
        {{L"--version"}, 0, "quillarvent 2."},
        {{L"-h"}, 0, "usage: quillarvent"},
        {{L"list", L"--help"}, 0, "usage: quillarvent"},
        {{L"set", wide(item), L"help"}, 0, ""},
        {{L"--tsv", L"list"}, 0, "0\t"},
        {{L"import", wide(folder_)}, 1, ""},
        {{L"list", L"--dry-run"}, 2, ""},
    };
    for (const expectation &expected : expectations) {
        SCOPED_TRACE(utf8(expected.command[0] + L" " + expected.command.back()));
        run_result result = run(expected.command);
        EXPECT_EQ(expected.status, result.status) << result.err;
        EXPECT_EQ(0u, result.out.find(expected.out_starts)) << result.out;
    }
    EXPECT_EQ(stream_bytes(0, "help"), stream_of(item));

    // A name outside the code page carrying a stream is a note, said once,
    // not a problem check counts for ever; a stream lost is told from an
    // empty description.
    std::wstring omega = wide(folder_) + L"\x03A9.txt";
    HANDLE stream = CreateFileW((omega + L":plivar").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, stream);
    DWORD written;
    WriteFile(stream, "\1\0\0\0far", 7, &written, nullptr);
    CloseHandle(stream);
    CloseHandle(CreateFileW(omega.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_EQ(0u, run({L"set", wide(item), L""}).status);
    std::string lost = make_file("lost.txt");
    ASSERT_EQ(0u, run({L"set", wide(lost), L"soon gone"}).status);
    replace_like_an_editor(lost);
    run_result listed = run({L"list", L"--tsv"});
    EXPECT_EQ("0\t" + item + "\t\tok\r\n0\t" + lost + "\t\tstream-gone\r\n", listed.out);
    ASSERT_EQ(0u, run({L"check", wide(folder_), L"--fix"}).status);
    run_result checked = run({L"check", wide(folder_), L"--tsv"});
    EXPECT_EQ(0u, checked.status) << checked.err;
    EXPECT_EQ("not-indexed-outside-code-page\t" + utf8(omega) + "\r\nkept-item-replaced\t" + lost +
                  "\r\n",
              checked.out);
}

// Finding descriptions, and what becomes of the ones a program dropped:
// kept for this user, attached again on request, gone once removed.
TEST_F(ConsoleTest, KeptDescriptionsAreFoundRecoveredAndStayRemoved) {
    std::string invoice = make_file("invoice.txt"), notes = make_file("notes.txt"),
                letter = make_file("letter.txt"), copied = make_file("copied.txt");
    ASSERT_EQ(0u, run({L"set", wide(invoice), L"Invoice March, paid"}).status);
    ASSERT_EQ(0u, run({L"set", wide(notes), L"shopping list"}).status);
    ASSERT_EQ(0u, run({L"set", wide(letter), L"--kind", L"2", L"march letter"}).status);
    // Arrived with a copied file and an index of an older version: the keep
    // file has never seen it.
    ASSERT_TRUE(write_whole_file(copied + ":plivar", stream_bytes(1, "from elsewhere")));
    std::string index = index_bytes();
    item_info(1, wide(copied).c_str()).save_record(index);
    ASSERT_TRUE(write_whole_file(config_ + "files.dat", index));

    struct search {
        std::vector<std::wstring> words;
        DWORD status;
        std::string out;
    } searches[] = {
        {{L"march invoice"}, 0, "0\t" + invoice + "\tInvoice March, paid\tok\r\n"},
        {{L"MARCH"},
         0,
         "0\t" + invoice + "\tInvoice March, paid\tok\r\n2\t" + letter + "\tmarch letter\tok\r\n"},
        {{L"march", L"--kind", L"2"}, 0, "2\t" + letter + "\tmarch letter\tok\r\n"},
        {{L"notes.TXT"}, 0, "0\t" + notes + "\tshopping list\tok\r\n"},
        {{L"elsewhere"}, 1, ""},
        {{L"elsewhere", L"--deep"}, 0, "1\t" + copied + "\tfrom elsewhere\tok\r\n"},
        {{L"march", wide(folder_ + "nowhere")}, 1, ""},
    };
    for (const search &row : searches) {
        SCOPED_TRACE(utf8(row.words[0]));
        std::vector<std::wstring> command = {L"find", L"--tsv"};
        command.insert(command.end(), row.words.begin(), row.words.end());
        run_result found = run(command);
        EXPECT_EQ(row.status, found.status) << found.err;
        EXPECT_EQ(row.out, found.out);
    }

    // An unrelated file took the invoice's name: its description is kept,
    // not attached, until the user asks.
    replace_like_an_editor(invoice);
    EXPECT_EQ("kept-item-replaced\t" + invoice + "\r\n",
              run({L"check", wide(folder_), L"--tsv"}).out);
    EXPECT_EQ("kept-item-replaced-dropped\t" + invoice + "\r\n",
              run({L"check", wide(folder_), L"--tsv", L"--fix"}).out);
    EXPECT_EQ("0\t" + invoice + "\tInvoice March, paid\tkept-item-replaced\r\n",
              run({L"find", L"invoice", L"--tsv"}).out);
    run_result recovered = run({L"recover", wide(invoice)});
    EXPECT_EQ(0u, recovered.status) << recovered.err;
    EXPECT_EQ(stream_bytes(0, "Invoice March, paid"), stream_of(invoice));
    EXPECT_EQ("recovered\t" + invoice + "\r\n", run({L"check", L"--tsv"}).out);
    EXPECT_EQ("", run({L"check", L"--tsv"}).out) << "a recovery is listed by one check";

    // A removal stays removed: nothing brings it back to a file under the
    // name, however alike.
    ASSERT_EQ(0u, run({L"remove", wide(notes)}).status);
    DeleteFileA(notes.c_str());
    make_file("notes.txt");
    run_result refused = run({L"recover", wide(notes)});
    EXPECT_EQ(1u, refused.status);
    EXPECT_NE(std::string::npos, refused.err.find("no description of it is kept"));
    EXPECT_EQ(1u, run({L"find", L"shopping"}).status);
    EXPECT_EQ("", stream_of(notes));

    // A keep file that cannot be had costs no description; check says so.
    clear_user_keep_folder();
    ASSERT_TRUE(write_whole_file(user_keep_folder(), "a file where the folder belongs"));
    EXPECT_EQ(0u, run({L"set", wide(notes), L"written all the same"}).status);
    EXPECT_EQ(stream_bytes(0, "written all the same"), stream_of(notes));
    run_result unavailable = run({L"check"});
    EXPECT_EQ(1u, unavailable.status);
    EXPECT_NE(std::string::npos, unavailable.err.find("the keep file is unavailable"))
        << unavailable.err;
}

// Explorer asks only the first 15 identifiers in the registry's order;
// cloud clients' leading spaces push the last markers out. overlays and
// check tell the same.
TEST_F(ConsoleTest, OverlaysSayWhichMarkersGetNoSlot) {
    // Keys made here go again; the product's own, when registered, stay.
    std::vector<std::pair<HKEY, std::string>> planted;
    auto plant = [&](HKEY root, const std::string &path, const std::string &value) {
        HKEY key;
        DWORD made = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                                 nullptr, &key, &made));
        if (made == REG_CREATED_NEW_KEY) {
            RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
            planted.push_back({root, path});
        }
        RegCloseKey(key);
    };
    auto remove_planted = [&](size_t kept) {
        for (; planted.size() > kept; planted.pop_back())
            RegDeleteTreeA(planted.back().first, planted.back().second.c_str());
    };
    const std::string identifiers =
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers\\";
    for (int kind = 0; kind < 6; ++kind) {
        char clsid[64];
        wsprintfA(clsid, "{4B2E1A3%d-9C7D-4E21-8F3A-6D5B2C1E0F9A}", kind);
        plant(HKEY_CLASSES_ROOT, std::string("CLSID\\") + clsid, "Quillarvent");
        plant(HKEY_LOCAL_MACHINE, identifiers + std::to_string(kind) + "Quillarvent", clsid);
    }
    size_t ours_planted = planted.size();

    // Identifiers as "key name\tproduct", in the order Explorer takes them:
    // `clouds` of another program's, ours, with one more before or after
    // 5Quillarvent.
    std::vector<std::string> cloud;
    for (int i = 10; i < 21; ++i)
        cloud.push_back("   Cloud" + std::to_string(i) + "\tCloud Drive");
    cloud.push_back(" Solo\tSolo");
    auto order = [&](size_t clouds, const char *before_5, const char *after_5) {
        std::vector<std::string> all(cloud.begin(), cloud.begin() + clouds);
        for (int kind = 0; kind < 6; ++kind) {
            if (kind == 5 && before_5)
                all.push_back(before_5);
            all.push_back(std::to_string(kind) + "Quillarvent\tQuillarvent");
        }
        if (after_5)
            all.push_back(after_5);
        return all;
    };
    struct layout {
        const char *name;
        std::vector<std::string> order;
        std::string note, check;
    } layouts[] = {
        {"twelve sort ahead", order(12, nullptr, nullptr),
         "Explorer will not show the markers 3Quillarvent, 4Quillarvent and 5Quillarvent: it "
         "shows only 15 overlays, and those of Cloud Drive and Solo sort ahead of them.",
         "overlays-left-out\t3Quillarvent, 4Quillarvent, 5Quillarvent\r\n"},
        // Case folded to upper: "5a" before "5Quillarvent", "5_" after it.
        {"a lower-case name", order(9, "5a\t5a", nullptr),
         "Explorer will not show the marker 5Quillarvent: it shows only 15 overlays, and those of "
         "Cloud Drive and 5a sort ahead of it.",
         "overlays-left-out\t5Quillarvent\r\n"},
        {"all six get a slot", order(9, nullptr, "5_Tail\t5_Tail"), "", ""},
    };
    for (const layout &row : layouts) {
        SCOPED_TRACE(row.name);
        std::string tsv;
        // Planted in reverse: the order must not come from the creation's.
        for (size_t i = row.order.size(); i-- > 0;) {
            const std::string &entry = row.order[i];
            tsv =
                std::to_string(i + 1) + (i < 15 ? "\tused\t" : "\tunused\t") + entry + "\r\n" + tsv;
            std::string name = entry.substr(0, entry.find('\t'));
            std::string product = entry.substr(entry.find('\t') + 1);
            if (product == "Quillarvent")
                continue;
            std::string clsid =
                "{0F0E0D0C-0000-4000-8000-0000000001" + std::to_string(10 + i) + "}";
            // A product named after its key has no class key to name it.
            if (name.find(product) == std::string::npos)
                plant(HKEY_CLASSES_ROOT, "CLSID\\" + clsid, product);
            plant(HKEY_LOCAL_MACHINE, identifiers + name, clsid);
        }

        run_result listed = run({L"overlays", L"--tsv"});
        EXPECT_EQ(0u, listed.status) << listed.err;
        EXPECT_EQ(tsv, listed.out);
        std::string text = run({L"overlays"}).out;
        EXPECT_NE(std::string::npos, text.find("  1  used    \"   Cloud10\"")) << text;
        std::string last =
            row.note.empty()
                ? "All six Quillarvent markers are among the 15 overlays Explorer shows."
                : row.note;
        EXPECT_EQ(text.size() - last.size() - 2, text.rfind(last + "\r\n")) << text;
        EXPECT_EQ(row.note.empty() ? "" : row.note + "\r\n", run({L"overlays", L"--note"}).out);
        run_result checked = run({L"check", L"--tsv"});
        EXPECT_EQ(0u, checked.status) << checked.err;
        EXPECT_EQ(row.check, checked.out);
        remove_planted(ours_planted);
    }
    remove_planted(0);
}

// The settings as an administrator sees and changes them, by name; a user
// without rights on the key, or a machine without it, changes nothing.
TEST_F(ConsoleTest, SettingsAreShownAndTurnedOnAndOffByName) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegDeleteValueA(key, full_search_value_name);
    RegDeleteValueA(key, probe_all_drives_value_name);
    struct step {
        std::vector<std::wstring> command;
        DWORD status;
        const char *out;
    } steps[] = {
        {{L"settings"}, 0, "full_search: off\r\nprobe_all_drives: off\r\n"},
        {{L"settings", L"probe_all_drives", L"on"}, 0, ""},
        {{L"settings", L"full_search", L"On"}, 0, ""},
        {{L"--tsv", L"settings"}, 0, "full_search\ton\r\nprobe_all_drives\ton\r\n"},
        {{L"settings", L"probe_all_drives", L"off"}, 0, ""},
        {{L"settings", L"probe_all_drives"}, 0, "probe_all_drives: off\r\n"},
        {{L"settings", L"probe_all_drive", L"on"}, 2, ""},
        {{L"settings", L"full_search", L"1"}, 2, ""},
    };
    for (const step &row : steps) {
        std::wstring line;
        for (const std::wstring &argument : row.command)
            line += argument + L" ";
        SCOPED_TRACE(utf8(line));
        run_result result = run(row.command);
        EXPECT_EQ(row.status, result.status) << result.err;
        EXPECT_EQ(row.out, result.out);
    }

    struct refusal {
        const char *name;
        const char *security; // null: the key is deleted
        const char *says;
        LONG read_back; // of full_search afterwards
    } refusals[] = {
        {"a user without rights on the key", "D:(D;;0x6;;;WD)(A;;KA;;;WD)",
         "access to HKLM\\software\\Quillarvent is denied", ERROR_SUCCESS},
        {"no settings key", nullptr, "is missing", ERROR_FILE_NOT_FOUND},
    };
    for (const refusal &row : refusals) {
        SCOPED_TRACE(row.name);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (row.security) {
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
                row.security, SDDL_REVISION_1, &descriptor, nullptr));
            EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor));
            LocalFree(descriptor);
            HKEY probe = nullptr;
            ASSERT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0,
                                                         KEY_SET_VALUE, &probe))
                << "the deny entry is not enforced";
        } else {
            ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, settings_key_path));
        }
        run_result result = run({L"settings", L"full_search", L"off"});
        EXPECT_EQ(1u, result.status);
        EXPECT_NE(std::string::npos, result.err.find(row.says)) << result.err;
        DWORD value = 7, size = sizeof(value);
        EXPECT_EQ(row.read_back,
                  RegGetValueA(HKEY_LOCAL_MACHINE, settings_key_path, full_search_value_name,
                               RRF_RT_REG_DWORD, nullptr, &value, &size));
        EXPECT_EQ(row.read_back == ERROR_SUCCESS ? 1u : 7u, value);
        if (row.security) {
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
                "D:(A;;KA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
            EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor));
            LocalFree(descriptor);
        }
    }
    RegCloseKey(key);
}

// Explorer shows the description column of a type only through that type's
// property handler: check names the described types it cannot show it for.
TEST_F(ConsoleTest, CheckNamesTheTypesWhoseColumnExplorerCannotShow) {
    const std::string handlers =
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\PropertySystem\\PropertyHandlers\\";
    const char theirs[] = "{11111111-2222-3333-4444-555555555555}";
    RegSetValueA(HKEY_LOCAL_MACHINE, (handlers + ".qvo").c_str(), REG_SZ, theirs, sizeof(theirs));
    const struct {
        const char *type;
        bool drop_handler; // the handler key removed after the item was described
        const char *line;  // what check says, empty for nothing
    } cases[] = {
        {".qvo", false, "column-taken\t.qvo\r\n"},
        {".qvz", false, ""},
        {".qvn", true, "column-not-registered\t.qvn\r\n"},
        {".qvlong", false, "column-not-registrable\t.qvlong\r\n"},
    };
    for (const auto &c : cases) {
        std::string file = make_file(std::string("item") + c.type);
        ASSERT_EQ(0u, run({L"set", wide(file), L"described"}).status) << c.type;
        if (c.drop_handler)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, (handlers + c.type).c_str());
    }
    EXPECT_EQ(theirs, [&] {
        char value[64] = "";
        LONG size = sizeof(value);
        RegQueryValueA(HKEY_LOCAL_MACHINE, (handlers + ".qvo").c_str(), value, &size);
        return std::string(value);
    }()) << "set replaced another program's handler";
    run_result checked = run({L"check", L"--tsv"});
    EXPECT_EQ(0u, checked.status) << checked.err;
    for (const auto &c : cases) {
        std::string type = std::string("\t") + c.type + "\r\n";
        EXPECT_EQ(c.line[0] ? 1u : 0u, count_of(checked.out, type)) << checked.out;
        if (c.line[0]) {
            EXPECT_EQ(1u, count_of(checked.out, c.line)) << checked.out;
        }
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, (handlers + c.type).c_str());
        RegDeleteTreeA(HKEY_CLASSES_ROOT, c.type);
        RegDeleteTreeA(
            HKEY_LOCAL_MACHINE,
            (std::string("SOFTWARE\\Classes\\SystemFileAssociations\\") + c.type).c_str());
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE,
                   "SOFTWARE\\Classes\\CLSID\\{4B2E1A3A-9C7D-4E21-8F3A-6D5B2C1E0F9A}");
}
