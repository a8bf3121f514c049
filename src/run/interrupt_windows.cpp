#include <windows.h>

#include "checked_io.h"
#include "interrupt.h"

namespace {

// Runs on a thread of its own while the run goes on; the default handler
// that follows ends the process.
BOOL WINAPI end_interrupted_run(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    abandon_pending_file_now();
    erase_progress_now();
    write_error_now("tarnwick: interrupted");
    if (const char* note = interrupt_note()) {
        write_error_now("; ");
        write_error_now(note);
    }
    write_error_now("\n");
    return FALSE;
}

} // namespace

void catch_interruptions()
{
    (void)SetConsoleCtrlHandler(end_interrupted_run, TRUE);
}
