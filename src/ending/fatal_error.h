// How a run fails: fatal_error, and what it says besides its message. Stands
// below the file operations, which fail through it, and calls nothing above
// the console.
//
// The calling sequence:
//   set_failure_prelude(line);           a line owed before any error, until nullptr
//   set_failure_notes(on_failure, on_interrupt);   what a stop now leaves
//   set_failure_detail(note);            for the next failure only
//   fatal_error("...");                  prints, removes the registered file
//                                        (interruption.h), exits with status 1
// fatal_error is the one call that ends the run.
#pragma once

#include <string>

#include "console.h"

// The one way a run fails: prints the prelude, if any, the error banner and
// the message on standard output, the detail, if any, on standard error,
// removes the registered file, tells on standard error what a failure now
// leaves (set_failure_notes), and exits with status 1.
[[noreturn]] void fatal_error(const char* format, ...) TARNWICK_PRINTF_FORMAT(1, 2);

// A line a failure prints before its message, once, until set back to
// nullptr: what a run says before it starts work, owed also when it cannot.
void set_failure_prelude(const char* line);
// A note the next failure adds on standard error right after its message,
// for what a message fixed in its wording cannot say; "" for none.
void set_failure_detail(std::string note);

// What a failure, and a signal, leave on disk at the run's present step: one
// line each, shown on standard error when the run ends that way, or null for
// nothing to add. The texts must outlive the run.
void set_failure_notes(const char* on_failure, const char* on_interrupt);
