// How a run ends before its work is done: through a failure (fatal_error)
// or a signal that ends it (catch_interruptions). Either way the one file
// registered for removal goes, and a line on standard error tells what the
// run leaves at its present step. Stands below the file operations, which
// end the run through it, and calls nothing above the console: a file that
// must not outlive the run registers its own name here, as git's tempfile
// registers with sigchain.
//
// The calling sequence:
//   catch_interruptions();               once, before the run changes a file
//   set_failure_prelude(line);           a line owed before any error, until nullptr
//   register_removal(temp_path);         a file made under a temporary name...
//   clear_removal();                     ...until it is renamed or removed
//   begin_commit_step();                 a step that changes what a stop leaves,
//   set_failure_notes(...);              and the notes that become true with it,
//   end_commit_step();                   run whole before a signal is handled
//   fatal_error("...");                  ends the run with status 1
// Only fatal_error ends the run; a signal ends it as that signal would.
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

// The one file a failure or a signal removes: a run has at most one. The
// name must stay valid until clear_removal.
void register_removal(const char* path);
void clear_removal();

// A step that changes what a stop leaves (a mark, a rename, an exchange, a
// removal, and at most one flush) runs whole before a handler tells what the
// run leaves and ends it: a Windows console handler, which runs on a thread
// of its own while the run goes on, begins a step of its own and never ends
// it, so it waits for one under way and no other starts; on POSIX the
// signals that end a run are held back across it. Steps do not nest, and
// nothing long (a copy, a flush of many bytes, a print) stands inside one,
// so that a stop still comes at once.
void begin_commit_step();
void end_commit_step();

// The run's answer to a signal that ends it (SIGINT, SIGTERM, SIGHUP; on
// Windows Ctrl-C, Ctrl-Break and the console closing): the registered file
// is removed, the progress line cleared, one line tells what is left, and
// the run ends as the signal would have ended it.
void catch_interruptions();
