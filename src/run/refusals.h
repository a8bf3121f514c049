// The refusals of what the user asked: every lead a refusal takes, and the
// words for a file another run holds, each made in one place.
#pragma once

#include <string>

#include "fatal_error.h"

// What the user asked, as a refusal leads with it.
enum class request_lead {
    update,       // "Cannot update pak0.pak"
    finish,       // "Cannot finish the interrupted update of pak0.pak"
    undo,         // "Cannot undo the update of pak0.pak"
    finish_undo,  // "Cannot finish the interrupted undo of pak0.pak"
    back_up,      // "Cannot back up pak0.pak"
};
// The lead, without the ": " that follows it.
std::string refusal_lead(request_lead lead, const std::string& target_path);
// The lead, ": ", then `format` filled in; ends the run.
[[noreturn]] void refuse(request_lead lead, const char* target_path, const char* format, ...)
    TARNWICK_PRINTF_FORMAT(3, 4);
// Why a file another run holds stops this one: "<subject> is in use by
// another run", or with no subject, for the target itself, "another run is
// updating it".
std::string in_use_by_another_run(const std::string& subject);
