// The leads of refusals, one per request.
#include "refusals.h"

#include <cstdarg>
#include <string>

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
