// The types every file operation shares: an open file with the name its
// failures are reported under, and which file it is. Declares no function.
#pragma once

#include <cstdint>

// An open file together with the name its failures are reported under.
struct checked_file {
    std::intptr_t handle;  // NO_FILE once closed
    const char* path;
};
constexpr std::intptr_t NO_FILE = -1;

// Which file a path or an open file is, across names and links.
struct file_identity {
    std::uint64_t volume;
    std::uint64_t index;
    std::uint64_t index_high;  // of a 128-bit id (Windows' FILE_ID_INFO), else 0
};
// What an open file is now (state_of): who it is and the marks every change
// leaves.
struct file_state {
    file_identity identity;
    std::int64_t size;
    std::int64_t modified;  // nanoseconds, or the system's finest unit
    std::int64_t changed;   // the status change time; Windows has none and repeats `modified`
};
