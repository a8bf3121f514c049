// The failures whose messages share a lead, or owe a second line.
#include <cstdarg>
#include <string>

#include "checked_io.h"

void refuse(request_lead lead, const char* target_path, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    const std::string reason = formatted_text(format, args);
    va_end(args);
    const char* verb = "update";
    if (lead == request_lead::finish) {
        verb = "finish the interrupted update of";
    } else if (lead == request_lead::undo) {
        verb = "undo the update of";
    }
    fatal_error("Cannot %s %s: %s", verb, target_path, reason.c_str());
}

void fail_short_file(const char* path, std::int64_t length, const std::string& lacking)
{
    set_failure_detail(std::string(path) + " is " + std::to_string(length) + " bytes, " + lacking);
    fatal_error("File read failure");
}
