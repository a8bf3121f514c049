// What the test build's seam (file_system_faults.cpp) needs of the system
// to stop or interrupt a run at a chosen call, one file per platform.
#pragma once

// Ends the process where it stands, as a kill does: no handler, no atexit
// and no removal of the pending file runs. A killed POSIX run's status, 137,
// is the Windows one's exit code too.
[[noreturn]] void end_as_killed();
// Interrupts the run as Ctrl-C does: SIGINT on POSIX, whose handler runs on
// this thread unless a commit step holds it back; on Windows the console's
// control routine, on a thread of its own, with the handlers the run set.
void deliver_interrupt();
// Returns only where the interrupt just delivered is held back: on Windows
// its handler ends the run from its own thread, so this one waits for it.
void let_the_interrupt_end_the_run();
