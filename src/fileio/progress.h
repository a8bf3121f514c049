// What copy_bytes tells the progress line; callers see only checked_io.h.
#pragma once

#include <cstdint>

// True while a progress line may be shown for the copy under way.
bool progress_wanted();
void count_progress(std::int64_t bytes);
