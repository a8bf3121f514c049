#pragma once

inline constexpr char VERSION_STRING[] = "0.9c";

// Performs one update as the command line asks and returns the exit status;
// failures end the process from within.
int run_update(int argc, char** argv);
