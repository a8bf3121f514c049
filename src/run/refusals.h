// The refusals of what the user asked: every lead a refusal takes, made in
// one place.
#pragma once

#include "ending.h"

// Refusals under the request's lead ("Cannot update pak0.pak: ", "Cannot
// finish the interrupted update of pak0.pak: ", "Cannot undo the update of
// pak0.pak: "), then `format` filled in; each ends the run.
enum class request_lead {
    update,
    finish,
    undo,
};
[[noreturn]] void refuse(request_lead lead, const char* target_path, const char* format, ...)
    TARNWICK_PRINTF_FORMAT(3, 4);
