// Commit steps on POSIX: the signals that end a run held back across each.
// A file of its own, so that a test build can count the steps around them.
#include <csignal>
#include <initializer_list>

#include <pthread.h>

#include "interruption.h"

namespace {

sigset_t mask_outside_steps{};

} // namespace

// The handler runs on this thread between two of its calls: a signal that
// comes during a step waits, pending, and is handled as the step ends, when
// what the handler says of the disk is true again. The side thread blocks
// every signal, so none goes there meanwhile.
void begin_commit_step()
{
    sigset_t ending{};
    (void)sigemptyset(&ending);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        (void)sigaddset(&ending, signal_number);
    }
    (void)pthread_sigmask(SIG_BLOCK, &ending, &mask_outside_steps);
}

void end_commit_step()
{
    (void)pthread_sigmask(SIG_SETMASK, &mask_outside_steps, nullptr);
}
