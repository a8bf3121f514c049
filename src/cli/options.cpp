#include "options.h"

#include "console.h"

namespace {

bool is_answer(const std::string& argument)
{
    return argument == "--help" || argument == "--version";
}

bool is_mode(const std::string& argument)
{
    return argument == "--dry-run" || argument == "--undo";
}

} // namespace

request read_request(const std::vector<std::string>& arguments)
{
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (is_answer(arguments[i])) {
            return {arguments[i] == "--help" ? request_kind::help : request_kind::version, "", 0, ""};
        }
    }
    std::vector<std::string> modes;
    std::vector<std::string> paths;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (is_mode(arguments[i])) {
            modes.push_back(arguments[i]);
        } else {
            paths.push_back(arguments[i]);
        }
    }
    // A misspelt option would otherwise be taken for the archive, or ignored
    // after it, and the run would go ahead as something the user did not ask for.
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (paths[i].size() > 1 && paths[i][0] == '-') {
            return {request_kind::refused, "", 0,
                    "unknown option " + paths[i] + "; to name a file that begins with '-', write ./" + paths[i]};
        }
    }
    if (modes.empty()) {
        if (paths.empty()) {
            return {request_kind::usage, "", 0, ""};
        }
        return {request_kind::update, paths[0], paths.size() - 1, ""};
    }
    // Previewing or undoing one archive while naming others would leave the
    // user guessing which one was meant.
    if (modes.size() > 1) {
        return {request_kind::refused, "", 0, modes[0] + " and " + modes[1] + " cannot be given together"};
    }
    if (paths.size() != 1) {
        return {request_kind::refused, "", 0,
                modes[0] + " takes one archive; " + std::to_string(paths.size()) + " given"};
    }
    return {modes[0] == "--dry-run" ? request_kind::dry_run : request_kind::undo, paths[0], 0, ""};
}

void print_title()
{
    print_text("Fenwold's Pak Update Utility V.%s\n", VERSION_STRING);
    print_text("---------------------------------------\n\n");
}

void print_usage()
{
    print_text("Usage: tarnwick [file]\n");
    print_text("\nOptions:\n\n");
    print_text("   file - absolute path and name of pak file to update\n");
    print_text("          e.g.: Windows: c:/quake2/baseq2/pak0.pak\n");
    print_text("                Linux:   /quake2/baseq2/pak0.pak\n");
}

void print_help()
{
    print_usage();
    print_text("\n"
               "tarnwick ARCHIVE             updates ARCHIVE with update.pak, read from the\n"
               "                             current folder, not from beside ARCHIVE\n"
               "tarnwick --dry-run ARCHIVE   says what an update would do, and changes nothing\n"
               "tarnwick --undo ARCHIVE      exchanges ARCHIVE and its backup\n"
               "tarnwick --help | --version\n"
               "\n"
               "ARCHIVE may be absolute or relative to the current folder. Before an update\n"
               "changes it, ARCHIVE is copied to its backup, named after it with its last\n"
               "extension replaced by .bak (pak0.pak -> pak0.bak); the backup holds the\n"
               "archive as it was before this update, and is replaced by the next one.\n"
               "Members of ARCHIVE that update.pak also holds (names compared without regard\n"
               "to case) are dropped, the others kept in order, and update.pak's members\n"
               "appended; update.pak is removed once the update is on disk.\n"
               "\n"
               "If a run is interrupted, run the same command again: it finishes the update\n"
               "from the backup. --undo puts the backup back in the archive's place and the\n"
               "archive in the backup's; a second --undo redoes the update.\n"
               "\n"
               "Exit status: 0 when the update (or the dry run, or the undo) went ahead, 1 on\n"
               "an error or a refusal. More in the manual: man tarnwick.\n");
}

void report_ignored_arguments(std::size_t count)
{
    if (count != 0) {
        print_note("%zu further argument%s ignored; one archive is updated per run", count, count == 1 ? "" : "s");
    }
}
