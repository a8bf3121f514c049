// The run's answer to a signal that ends it (SIGINT, SIGTERM, SIGHUP; on
// Windows Ctrl-C, Ctrl-Break and the console closing): the pending file is
// removed, the progress line cleared, one line tells what is left, and the
// run ends as the signal would have ended it. The handlers stand in one file
// per platform; what they do is written once.
#pragma once

void catch_interruptions();
// What every handler does before the run ends: only calls that a signal
// handler may make.
void clean_up_interrupted_run();
