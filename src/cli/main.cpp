#include "console.h"
#include "exit_pause.h"
#include "options.h"
#include "run.h"

namespace {

int answer(const request& asked)
{
    if (asked.kind == request_kind::version) {
        print_text("tarnwick %s\n", VERSION_STRING);
        return 0;
    }
    const bool opens_files =
        asked.kind == request_kind::update || asked.kind == request_kind::dry_run || asked.kind == request_kind::undo;
    const std::string output_archive = opens_files ? guard_standard_output(asked.target_path) : "";
    print_title();
    switch (asked.kind) {
    case request_kind::update:
        report_ignored_arguments(asked.ignored);
        return run_update(asked.target_path, output_archive, run_mode::apply);
    case request_kind::dry_run:
        return run_update(asked.target_path, output_archive, run_mode::dry_run);
    case request_kind::undo:
        return undo_update(asked.target_path, output_archive);
    case request_kind::help:
        print_help();
        return 0;
    case request_kind::refused:
        print_note("%s", asked.refusal.c_str());
        break;
    case request_kind::usage:
    case request_kind::version:
        break;
    }
    print_usage();
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    prepare_standard_streams();
    const int status = answer(read_request(command_line_arguments(argc, argv)));
    pause_if_started_from_explorer();
    return status;
}
