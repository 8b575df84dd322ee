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
    EXPECT_EQ("0\t" + stays + "\tstays\r\n2\t" + stranger + "\tfrom elsewhere\r\n", listed.out);
    checked = run({L"check", wide(folder_)});
    EXPECT_EQ(0u, checked.status);
    EXPECT_EQ("", checked.out + checked.err);
}

// Without a configuration folder the store's message reaches standard
// error; a message box would leave the program waiting for a click.
TEST_F(ConsoleTest, TheStoresMessagesGoToStandardError) {
    std::string item = make_file("item.txt");
    delete_tree(config_);
    run_result set = run({L"set", wide(item), L"text"});
    EXPECT_EQ(1u, set.status);
    EXPECT_NE(std::string::npos, set.err.find("quillarvent: Quillarvent: ")) << set.err;
    EXPECT_EQ(stream_bytes(0, "text"), stream_of(item));

    // A restore says so once, not once per item.
    std::string backup = io_.path() + "backup.txt";
    std::string lines = "# Quillarvent descriptions 1\r\n";
    for (const char *name : {"one.txt", "two.txt", "three.txt"})
        lines += "1\t" + make_file(name) + "\trestored\r\n";
    ASSERT_TRUE(write_whole_file(backup, lines));
    run_result restored = run({L"restore", wide(backup)});
    EXPECT_EQ(1u, restored.status);
    EXPECT_EQ(1u, count_of(restored.err, "could not be written")) << restored.err;
    EXPECT_EQ(stream_bytes(1, "restored"), stream_of(folder_ + "two.txt"));
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
    EXPECT_EQ("2\t" + notes + "\tfirst\r\n0\t" + readme + "\tfrom a dos file manager\r\n",
              listed.out);
    run_result checked = run({L"check", wide(folder_ + "e")});
    EXPECT_EQ("", checked.out + checked.err);

    // After "--" a text may start with dashes; an empty text is a text.
    EXPECT_EQ(0u, run({L"set", wide(notes), L"--", L"--dashes"}).status);
    EXPECT_EQ(stream_bytes(2, "--dashes"), stream_of(notes));
    EXPECT_EQ(0u, run({L"set", wide(notes), L""}).status);
    EXPECT_EQ(stream_bytes(2, ""), stream_of(notes));
}
