// How a signal that ends the run meets it (git's tempfile with sigchain;
// zstd's Ctrl-C section): the one file a failure or a signal removes, the
// commit steps a handler waits for, and the handlers themselves. A file that
// must not outlive the run registers its own name here.
//
// The calling sequence:
//   catch_interruptions();               once, before the run changes a file
//   register_removal(temp_path);         a file made under a temporary name...
//   clear_removal();                     ...until it is renamed or removed
//   begin_commit_step();                 a step that changes what a stop leaves,
//   set_failure_notes(...);              and the notes that become true with it,
//   end_commit_step();                   run whole before a signal is handled
// None of these ends the run; a signal ends it as that signal would.
#pragma once

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
