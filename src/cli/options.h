// The command line: what the user asked for, and the usage text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "version.h"

enum class request_kind {
    update,
    usage,  // no archive named
    help,
    version,
    dry_run,
    undo,
    refused,  // options that cannot go together, or not with that many archives
};

struct request {
    request_kind kind;
    std::string target_path;
    std::size_t ignored;  // further arguments, beyond the archive
    std::string refusal;  // why a refused request is refused
};

// `arguments` are the program's own, argv[0] first. An option counts
// wherever it stands, the first one wins, and there are no short forms.
// The archive may start with '-'; an argument after it that does is taken
// for a misspelt option and refused.
request read_request(const std::vector<std::string>& arguments);
void print_title();
void print_usage();
// The usage, then what the options do, where update.pak and the backup are,
// and what a rerun after an interruption does.
void print_help();
// Only the first archive named is updated; a user who named several must
// not take the others for done.
void report_ignored_arguments(std::size_t count);
