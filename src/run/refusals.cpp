// The leads of refusals, one per request, and the words for a file another
// run holds.
#include "refusals.h"

#include <cstdarg>
#include <string>

std::string refusal_lead(request_lead lead, const std::string& target_path)
{
    const char* verb = "update";
    if (lead == request_lead::finish) {
        verb = "finish the interrupted update of";
    } else if (lead == request_lead::undo) {
        verb = "undo the update of";
    } else if (lead == request_lead::finish_undo) {
        verb = "finish the interrupted undo of";
    } else if (lead == request_lead::back_up) {
        verb = "back up";
    }
    return std::string("Cannot ") + verb + " " + target_path;
}

void refuse(request_lead lead, const char* target_path, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    const std::string reason = formatted_text(format, args);
    va_end(args);
    fatal_error("%s: %s", refusal_lead(lead, target_path).c_str(), reason.c_str());
}

std::string in_use_by_another_run(const std::string& subject)
{
    return subject.empty() ? "another run is updating it" : subject + " is in use by another run";
}
