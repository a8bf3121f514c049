#pragma once

#include <string>

namespace fuzz {

// Thrown by the harness's fatal_error, so that a refused archive returns
// control to the harness instead of ending the fuzzing process.
struct fatal_error_thrown {
    std::string message;
};

} // namespace fuzz
