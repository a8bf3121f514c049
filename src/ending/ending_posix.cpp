// The way a run ends on POSIX: the signal handler and the removal it may
// make. The signals held back across a commit step: commit_step_posix.cpp.
#include <csignal>

#include <unistd.h>

#include "ending_system.h"
#include "interruption.h"

namespace {

constexpr int CAUGHT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

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

void remove_name_now(const char* path)
{
    (void)unlink(path);
}
