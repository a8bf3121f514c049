// The progress line a long copy draws on standard error. Printing through
// console.h takes it off the terminal first; a signal handler erases it with
// erase_progress_now.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// A progress line on standard error, for copies long enough to look like a
// hang: shown only on a terminal, once the run has lasted a second, and
// never wider than the terminal. The run owns it and hands it to the copies,
// which report their bytes to it. `verb` and `path` name what is done
// ("Rewriting pak0.pak"); a copy names where it goes in `destination`
// ("Copying pak0.pak to pak0.bak"), which is "" otherwise.
struct progress_line {
    bool wanted;  // standard error is a terminal
    std::chrono::steady_clock::time_point run_start;
    std::chrono::steady_clock::time_point copy_start;
    std::chrono::steady_clock::time_point drawn_at;
    // Kept apart so that the paths give way first when the line is too long.
    std::string verb;
    std::string path;
    std::string destination;
    std::int64_t total;
    std::int64_t done;
    std::size_t shown_width;  // columns it took when last drawn; 0 when not shown
};
// A line for a run that starts now.
progress_line start_progress_line();
void begin_progress(progress_line& line, const char* verb, const std::string& path, const std::string& destination,
                    std::int64_t total);
// True while the line may be shown for the copy under way.
bool progress_wanted(const progress_line& line);
void count_progress(progress_line& line, std::int64_t bytes);
void end_progress(progress_line& line);
// Takes whatever progress line is shown off the terminal; the line returns
// with the next bytes counted. Printing does this first.
void hide_progress();
