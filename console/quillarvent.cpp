// quillarvent.exe: the descriptions of the store from a command line, for
// people and scripts. It uses the library's own store code, so it writes
// exactly what the editor writes.

#include <windows.h>
#include <objbase.h>

#include <cwchar>
#include <new>

#include "console/commands.h"
#include "console/console_io.h"
#include "module/module_start_up.h"
#include "store/store_report.h"

namespace {

const char usage_text[] =
    "usage: quillarvent COMMAND [--tsv] ...\r\n"
    "  list [FOLDER]                      every described item (or those under FOLDER)\r\n"
    "  show PATH                          the kind and the whole description\r\n"
    "  set PATH [--kind 0-5] (TEXT | -)   write a description (- reads standard input)\r\n"
    "  remove PATH                        remove a description\r\n"
    "  backup FILE                        write every description to a UTF-8 text file\r\n"
    "  restore FILE [--only-missing]      write a backup's descriptions back\r\n"
    "  export FOLDER [--recursive]        write descript.ion files\r\n"
    "  import FOLDER [--recursive] [--replace]\r\n"
    "                                     read descript.ion files\r\n"
    "  check [FOLDER] [--fix]             compare the index with the items\r\n"
    "Exit status: 0 done, 1 something was not found or failed, 2 usage error.\r\n";

struct command_entry {
    const wchar_t *name;
    int (*run)(const command_line &);
    size_t least_operands, most_operands;
    // The options the command takes, as the flags of command_line.
    bool only_missing, recursive, replace, fix, kind;
};

const command_entry commands[] = {
    {L"list", list_command, 0, 1, false, false, false, false, false},
    {L"show", show_command, 1, 1, false, false, false, false, false},
    {L"set", set_command, 2, 2, false, false, false, false, true},
    {L"remove", remove_command, 1, 1, false, false, false, false, false},
    {L"backup", backup_command, 1, 1, false, false, false, false, false},
    {L"restore", restore_command, 1, 1, true, false, false, false, false},
    {L"export", export_command, 1, 1, false, true, false, false, false},
    {L"import", import_command, 1, 1, false, true, true, false, false},
    {L"check", check_command, 0, 1, false, false, false, true, false},
};

// The store's messages go to standard error: no window may open in a
// script.
void report_to_error_output(const char *caption, const char *text) {
    say_error(one_line(caption) + ": " + one_line(text));
}

int usage_error(const std::string &message) {
    say_error(message + " (\"quillarvent help\" lists the commands)");
    return exit_usage;
}

int parse(int argc, wchar_t **argv, const command_entry *&entry, command_line &line) {
    line.command = argv[1];
    entry = nullptr;
    for (const command_entry &candidate : commands)
        if (line.command == candidate.name)
            entry = &candidate;
    if (!entry)
        return usage_error("unknown command \"" + shown(line.command) + "\"");
    bool options_end = false;
    for (int i = 2; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (options_end || argument.compare(0, 2, L"--") != 0) {
            line.operands.push_back(argument);
            continue;
        }
        if (argument == L"--") {
            options_end = true;
        } else if (argument == L"--tsv") {
            line.tsv = true;
        } else if (argument == L"--only-missing" && entry->only_missing) {
            line.only_missing = true;
        } else if (argument == L"--recursive" && entry->recursive) {
            line.recursive = true;
        } else if (argument == L"--replace" && entry->replace) {
            line.replace = true;
        } else if (argument == L"--fix" && entry->fix) {
            line.fix = true;
        } else if (argument == L"--kind" && entry->kind) {
            if (i + 1 >= argc)
                return usage_error("--kind needs a number from 0 to 5");
            std::wstring value = argv[++i];
            if (value.size() != 1 || value[0] < L'0' || value[0] > L'5')
                return usage_error("kind \"" + shown(value) + "\" is outside 0-5");
            line.kind = value[0] - L'0';
        } else {
            return usage_error("\"" + shown(argument) + "\" is not an option of " +
                               shown(line.command));
        }
    }
    if (line.operands.size() < entry->least_operands || line.operands.size() > entry->most_operands)
        return usage_error(shown(line.command) + ": wrong number of operands");
    // An empty text is a description the editor may save too.
    for (size_t i = 0; i < line.operands.size(); ++i)
        if (line.operands[i].empty() && !(entry->run == set_command && i == 1))
            return usage_error(shown(line.command) + ": an empty operand");
    return exit_done;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) {
        write_error(usage_text);
        return exit_usage;
    }
    std::wstring first = argv[1];
    if (first == L"help" || first == L"--help" || first == L"/?") {
        write_out(usage_text);
        return exit_done;
    }
    try {
        const command_entry *entry;
        command_line line;
        int parsed = parse(argc, argv, entry, line);
        if (parsed != exit_done)
            return parsed;
        set_store_report_sink(report_to_error_output);
        // The store may start the registration program through the shell.
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        store_start_up(GetModuleHandleW(nullptr));
        int status = entry->run(line);
        CoUninitialize();
        return status;
    } catch (const std::bad_alloc &) {
        say_error("out of memory");
    } catch (...) {
        say_error("an unexpected error");
    }
    return exit_failed;
}
