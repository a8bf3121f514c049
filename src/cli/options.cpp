#include "options.h"

#include "console.h"

request read_request(const std::vector<std::string>& arguments)
{
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--help") {
            return {request_kind::help, "", 0};
        }
        if (arguments[i] == "--version") {
            return {request_kind::version, "", 0};
        }
    }
    if (arguments.size() < 2) {
        return {request_kind::usage, "", 0};
    }
    return {request_kind::update, arguments[1], arguments.size() - 2};
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

void report_ignored_arguments(std::size_t count)
{
    if (count != 0) {
        print_error_text("tarnwick: %zu further argument%s ignored; one archive is updated per run\n", count,
                         count == 1 ? "" : "s");
    }
}
