// quillarvent.exe: the descriptions of the store from a command line, for
// people and scripts. It uses the library's own store code, so it writes
// exactly what the editor writes.

#include <windows.h>
#include <objbase.h>

#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "console/commands.h"
#include "console/console_io.h"
#include "module/module_start_up.h"
#include "resources/version.h"
#include "store/store_report.h"

namespace {

const char usage_text[] =
    "usage: quillarvent [OPTIONS] COMMAND [OPTIONS] ...\r\n"
    "  list [FOLDER] [--shares]           every described item (or those under FOLDER)\r\n"
    "  show PATH                          the kind and the whole description\r\n"
    "  set PATH [--kind 0-5] (TEXT | -)   write a description (- reads standard input)\r\n"
    "  remove PATH                        remove a description\r\n"
    "  backup (FILE | -) [--shares]       write every description to a UTF-8 text file\r\n"
    "  restore (FILE | -) [--only-missing] [--dry-run]\r\n"
    "                                     write a backup's descriptions back\r\n"
    "  export FOLDER [--recursive] [--shares]\r\n"
    "                                     write descript.ion files\r\n"
    "  import FOLDER [--recursive] [--replace] [--dry-run]\r\n"
    "                                     read descript.ion files\r\n"
    "  check [FOLDER] [--fix] [--shares]  compare the index with the items\r\n"
    "  find TEXT [FOLDER] [--kind 0-5] [--deep] [--shares]\r\n"
    "                                     items whose description or path holds\r\n"
    "                                     every word of TEXT\r\n"
    "  recover PATH                       attach the description this user kept\r\n"
    "                                     for PATH to the item there now\r\n"
    "  overlays [--note]                  the overlay identifiers in the order Explorer\r\n"
    "                                     takes them, the 15 it shows marked, and the\r\n"
    "                                     markers left without a slot (--note: only\r\n"
    "                                     that sentence, nothing when all have one)\r\n"
    "  settings [NAME [on | off]]         show the settings, or turn one on or off:\r\n"
    "                                     full_search, probe_all_drives\r\n"
    "Options: --tsv tab-separated output; --shares opens items on network shares,\r\n"
    "which a pass over the whole index leaves alone; --dry-run says what would\r\n"
    "change and changes nothing; --version; -h, --help, COMMAND --help.\r\n"
    "Exit status: 0 done, 1 something was not found or failed, 2 usage error.\r\n";

struct command_entry {
    const wchar_t *name;
    int (*run)(const command_line &);
    size_t least_operands, most_operands;
    // The options the command takes, as the flags of command_line.
    bool only_missing, recursive, replace, fix, kind, dry_run, shares;
    bool needs_index;
    bool deep;
};

const command_entry commands[] = {
    {L"list", list_command, 0, 1, false, false, false, false, false, false, true, true, false},
    {L"show", show_command, 1, 1, false, false, false, false, false, false, false, false, false},
    {L"set", set_command, 2, 2, false, false, false, false, true, false, false, true, false},
    {L"remove", remove_command, 1, 1, false, false, false, false, false, false, false, true, false},
    {L"backup", backup_command, 1, 1, false, false, false, false, false, false, true, true, false},
    {L"restore", restore_command, 1, 1, true, false, false, false, false, true, false, true, false},
    {L"export", export_command, 1, 1, false, true, false, false, false, false, true, true, false},
    {L"import", import_command, 1, 1, false, true, true, false, false, true, false, true, false},
    {L"check", check_command, 0, 1, false, false, false, true, false, false, true, true, false},
    {L"find", find_command, 1, 2, false, false, false, false, true, false, true, true, true},
    {L"recover", recover_command, 1, 1, false, false, false, false, false, false, false, true,
     false},
    {L"overlays", overlays_command, 0, 0, false, false, false, false, false, false, false, false,
     false},
    {L"settings", settings_command, 0, 2, false, false, false, false, false, false, false, false,
     false},
};

// The store's messages go to standard error: no window may open in a
// script.
bool store_reported = false;

void report_to_error_output(const char *caption, const char *text) {
    say_error(one_line(caption) + ": " + one_line(text));
    store_reported = true;
}

int usage_error(const std::string &message) {
    say_error(message + " (\"quillarvent help\" lists the commands)");
    return exit_usage;
}

bool is_help(const std::wstring &argument) {
    return argument == L"help" || argument == L"--help" || argument == L"-h" || argument == L"/?";
}

const command_entry *command_named(const std::wstring &name) {
    for (const command_entry &candidate : commands)
        if (name == candidate.name)
            return &candidate;
    return nullptr;
}

// Options may stand before or after the command; the first argument that is
// not an option names it.
int parse(int argc, wchar_t **argv, const command_entry *&entry, command_line &line) {
    entry = nullptr;
    std::vector<std::wstring> options;
    std::vector<std::wstring> rest;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (!options_end && argument == L"--") {
            options_end = true;
        } else if (!options_end && argument.compare(0, 2, L"--") == 0) {
            options.push_back(argument);
            // --kind takes the next argument as its value.
            if (argument == L"--kind" && i + 1 < argc)
                options.push_back(argv[++i]);
        } else if (!entry && line.command.empty()) {
            line.command = argument;
            entry = command_named(argument);
            if (!entry)
                return usage_error("unknown command \"" + shown(argument) + "\"");
        } else {
            rest.push_back(argument);
        }
    }
    if (!entry)
        return usage_error("no command");
    line.operands = rest;
    for (size_t i = 0; i < options.size(); ++i) {
        const std::wstring &option = options[i];
        if (option == L"--tsv") {
            line.tsv = true;
        } else if (option == L"--only-missing" && entry->only_missing) {
            line.only_missing = true;
        } else if (option == L"--recursive" && entry->recursive) {
            line.recursive = true;
        } else if (option == L"--replace" && entry->replace) {
            line.replace = true;
        } else if (option == L"--fix" && entry->fix) {
            line.fix = true;
        } else if (option == L"--dry-run" && entry->dry_run) {
            line.dry_run = true;
        } else if (option == L"--deep" && entry->deep) {
            line.deep = true;
        } else if (option == L"--note" && entry->run == overlays_command) {
            line.note = true;
        } else if (option == L"--shares" && entry->shares) {
            line.shares = true;
        } else if (option == L"--kind" && entry->kind) {
            if (i + 1 >= options.size())
                return usage_error("--kind needs a number from 0 to 5");
            const std::wstring &value = options[++i];
            if (value.size() != 1 || value[0] < L'0' || value[0] > L'5')
                return usage_error("kind \"" + shown(value) + "\" is outside 0-5");
            line.kind = value[0] - L'0';
        } else {
            return usage_error("\"" + shown(option) + "\" is not an option of " +
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

// Whatever a command did, output that did not reach its reader is a failure.
int finished(int status) {
    if (!output_was_lost())
        return status;
    say_error("standard output could not be written");
    return status == exit_done ? exit_failed : status;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) {
        write_error(usage_text);
        return exit_usage;
    }
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (argument == L"--")
            break;
        if (argument == L"--version") {
            write_out(std::string("quillarvent ") + PRODUCT_VERSION_TEXT + "\r\n");
            return finished(exit_done);
        }
        // "help", "-h" or "--help" first, "--help" or "-h" after a command:
        // "list --help". A text operand may still read "help".
        if ((i == 1 && is_help(argument)) || argument == L"--help" ||
            (i == 2 && argument == L"-h")) {
            write_out(usage_text);
            return finished(exit_done);
        }
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
        DWORD loaded = store_start_up(GetModuleHandleW(nullptr));
        int status;
        // Without the index a command would act on an empty one: a backup
        // of nothing, a check that finds nothing to check.
        if (entry->needs_index && (loaded != ERROR_SUCCESS || !index_path[0])) {
            say_error(shown_ansi(index_path[0] ? index_path : "files.dat") +
                      ": the index cannot be read: " +
                      error_text(loaded != ERROR_SUCCESS ? loaded : ERROR_PATH_NOT_FOUND));
            status = exit_failed;
        } else {
            status = entry->run(line);
            // The program ends here: a change files.dat did not take is lost.
            if (!info_holder.all_written()) {
                if (!store_reported)
                    say_error(shown_ansi(index_path) +
                              ": could not be written; the index lacks this run's changes");
                status = exit_failed;
            }
        }
        CoUninitialize();
        return finished(status);
    } catch (const std::bad_alloc &) {
        say_error("out of memory");
    } catch (...) {
        say_error("an unexpected error");
    }
    return exit_failed;
}
