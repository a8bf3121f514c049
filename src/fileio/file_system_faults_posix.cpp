#include <csignal>

#include "file_system_faults.h"

void end_as_killed()
{
    (void)std::raise(SIGKILL);
    // SIGKILL cannot be caught, blocked or ignored.
    for (;;) {
    }
}

void deliver_interrupt()
{
    (void)std::raise(SIGINT);
}

// The handler ends the run inside raise, or as the commit step ends.
void let_the_interrupt_end_the_run() {}
