#pragma once

#include <string>
#include <vector>

#include "version.h"

// Performs one update as the command line asks and returns the exit status;
// failures end the process from within. `arguments` are the program's own,
// argv[0] first, each path in UTF-8.
int run_update(const std::vector<std::string>& arguments);
