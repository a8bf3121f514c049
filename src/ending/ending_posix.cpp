// The way a run ends on POSIX: the signal handler, the signals held back
// across a commit step, and the removal a handler may make.
#include <csignal>

#include <pthread.h>
#include <unistd.h>

#include "ending_system.h"
#include "interruption.h"

namespace {

constexpr int CAUGHT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t mask_outside_steps{};

// Only calls that a signal handler may make.
void end_interrupted_run(int signal_number)
{
    // A second signal, held back while this one is handled, is dropped: the
    // run leaves one note and ends as the first signal ends it.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (const int other : CAUGHT_SIGNALS) {
        if (other != signal_number) {
            (void)sigaction(other, &ignore, nullptr);
        }
    }
    clean_up_interrupted_run();
    // Ended by the signal itself, so that the shell sees how the run ended.
    (void)std::signal(signal_number, SIG_DFL);
    (void)std::raise(signal_number);
}

} // namespace

void catch_interruptions()
{
    struct sigaction action {};
    action.sa_handler = end_interrupted_run;
    (void)sigemptyset(&action.sa_mask);
    for (const int signal_number : CAUGHT_SIGNALS) {
        (void)sigaddset(&action.sa_mask, signal_number);
    }
    for (const int signal_number : CAUGHT_SIGNALS) {
        struct sigaction previous {};
        // A signal the caller ignores (nohup) stays ignored.
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            (void)sigaction(signal_number, &action, nullptr);
        }
    }
}

// The handler runs on this thread between two of its calls: a signal that
// comes during a step waits, pending, and is handled as the step ends, when
// what the handler says of the disk is true again. The side thread blocks
// every signal, so none goes there meanwhile.
void begin_commit_step()
{
    sigset_t ending{};
    (void)sigemptyset(&ending);
    for (const int signal_number : CAUGHT_SIGNALS) {
        (void)sigaddset(&ending, signal_number);
    }
    (void)pthread_sigmask(SIG_BLOCK, &ending, &mask_outside_steps);
}

void end_commit_step()
{
    (void)pthread_sigmask(SIG_SETMASK, &mask_outside_steps, nullptr);
}

void remove_name_now(const char* path)
{
    (void)unlink(path);
}
