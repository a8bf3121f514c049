// Kept in a file of its own so that a test or fuzz harness can link its own
// fatal_error in place of this one. Every failure ends here, so this is where
// the registered file is removed.
#include "fatal_error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ending_system.h"

void fatal_error(const char* format, ...)
{
    if (const char* line = take_failure_prelude()) {
        print_text("%s", line);
    }
    print_text("************ ERROR ************\n");
    std::va_list args;
    va_start(args, format);
    vprint_text(stdout, format, args);
    va_end(args);
    print_text("\n");
    // Where both streams go to one file, the lines on standard error follow
    // the message they add to.
    (void)std::fflush(stdout);
    const std::string detail = take_failure_detail();
    if (!detail.empty()) {
        print_note("%s", detail.c_str());
    }
    remove_registered_now();
    if (const char* note = failure_notice()) {
        print_note("%s", note);
    }
    pause_if_started_from_explorer();
    std::exit(1);
}
