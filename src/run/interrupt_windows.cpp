#include <windows.h>

#include "interrupt.h"

namespace {

// Runs on a thread of its own while the run goes on; the default handler
// that follows ends the process.
BOOL WINAPI end_interrupted_run(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    clean_up_interrupted_run();
    return FALSE;
}

} // namespace

void catch_interruptions()
{
    (void)SetConsoleCtrlHandler(end_interrupted_run, TRUE);
}
