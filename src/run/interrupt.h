// The run's answer to a signal that ends it (SIGINT, SIGTERM, SIGHUP; on
// Windows Ctrl-C, Ctrl-Break and the console closing): the pending file is
// removed, the progress line cleared, one line tells what is left, and the
// run ends as the signal would have ended it. One file per platform.
#pragma once

void catch_interruptions();
