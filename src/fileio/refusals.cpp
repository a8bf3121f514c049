// The failures whose messages share a lead, or owe a second line.
#include <cstdarg>
#include <string>

#include "checked_io.h"

void refuse_update(const char* target_path, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    const std::string reason = formatted_text(format, args);
    va_end(args);
    fatal_error("Cannot update %s: %s", target_path, reason.c_str());
}

void refuse_undo(const char* target_path, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    const std::string reason = formatted_text(format, args);
    va_end(args);
    fatal_error("Cannot undo the update of %s: %s", target_path, reason.c_str());
}

void fail_short_file(const char* path, std::int64_t length, const std::string& lacking)
{
    set_failure_detail(std::string(path) + " is " + std::to_string(length) + " bytes, " + lacking);
    fatal_error("File read failure");
}
