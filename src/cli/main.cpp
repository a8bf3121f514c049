#include "console.h"
#include "options.h"
#include "run.h"

namespace {

int answer(const request& asked)
{
    if (asked.kind == request_kind::version) {
        print_text("tarnwick %s\n", VERSION_STRING);
        return 0;
    }
    const std::string output_archive =
        asked.kind == request_kind::update ? guard_standard_output(asked.target_path) : "";
    print_title();
    if (asked.kind != request_kind::update) {
        print_usage();
        return asked.kind == request_kind::usage ? 1 : 0;
    }
    report_ignored_arguments(asked.ignored);
    return run_update(asked.target_path, output_archive);
}

} // namespace

int main(int argc, char** argv)
{
    prepare_standard_streams();
    const int status = answer(read_request(command_line_arguments(argc, argv)));
    pause_if_started_from_explorer();
    return status;
}
