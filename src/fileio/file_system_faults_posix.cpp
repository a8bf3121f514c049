#include <csignal>
#include <cstdlib>

#include "file_system_faults.h"

void end_as_killed()
{
    // SIGKILL cannot be caught, blocked or ignored: abort is never reached.
    (void)std::raise(SIGKILL);
    // cppcheck-suppress unreachableCode
    std::abort();
}

void deliver_interrupt()
{
    (void)std::raise(SIGINT);
}

// The handler ends the run inside raise, or as the commit step ends.
void let_the_interrupt_end_the_run() {}
