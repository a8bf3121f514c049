// Inside the way a run ends: what its portable part and its platform files
// (ending_posix.cpp, ending_windows.cpp, chosen by the build) share. Not for
// use outside src/ending/.
#pragma once

#include <string>

// Read by fatal_error: each taken once.
const char* take_failure_prelude();
std::string take_failure_detail();
const char* failure_notice();

// Removes the registered file, if any, with only calls a signal handler may
// make: what a failure and a signal both do.
void remove_registered_now();
// What every handler does before the run ends: only calls that a signal
// handler may make.
void clean_up_interrupted_run();

// Per platform: removes a file's name, safe in a signal handler.
void remove_name_now(const char* path);
