// The way a run ends on Windows: the console handler and the removal it
// makes. The lock it shares with commit steps: commit_step_windows.cpp.
#include <atomic>

#include <windows.h>

#include "ending_system.h"
#include "interruption.h"
#include "utf16.h"

namespace {

std::atomic<bool> interrupted{false};

// Runs on a thread of its own while the run goes on; the default handler
// that follows ends the process. It waits for a commit step under way to
// end, and lets no other start, so that what it says is what is on disk.
BOOL WINAPI end_interrupted_run(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    // A second Ctrl-C while the first is handled adds nothing.
    if (interrupted.exchange(true)) {
        return TRUE;
    }
    begin_commit_step();
    clean_up_interrupted_run();
    return FALSE;
}

} // namespace

void catch_interruptions()
{
    (void)SetConsoleCtrlHandler(end_interrupted_run, TRUE);
}

void remove_name_now(const char* path)
{
    (void)DeleteFileW(native_path(path).c_str());
}
