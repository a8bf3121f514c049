// Commit steps on Windows: a lock the console handler's thread takes too.
// A file of its own, so that a test build can count the steps around them.
#include <windows.h>

#include "interruption.h"

namespace {

SRWLOCK commit_steps = SRWLOCK_INIT;

} // namespace

void begin_commit_step()
{
    AcquireSRWLockExclusive(&commit_steps);
}

void end_commit_step()
{
    ReleaseSRWLockExclusive(&commit_steps);
}
