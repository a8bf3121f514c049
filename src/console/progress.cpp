// One line on standard error that tells how a long copy is going. A copy of
// a large archive to a slow disk takes minutes, and silence looks like a
// hang; so once a run has lasted a second, and only on a terminal, the line
// shows what is copied, how far it is and how fast, a few times a second.
// It never wraps: a wrapped line cannot be drawn over again, and each redraw
// would leave a row behind.
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "console.h"
#include "progress.h"
#include "terminal.h"
#include "text_width.h"

namespace {

using progress_clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds QUIET_START{1000};
constexpr std::chrono::milliseconds REDRAW_EVERY{250};
constexpr double MIB = 1024.0 * 1024.0;

// What the terminal shows now, whoever drew it: printing and a signal
// handler erase it without knowing the line.
volatile std::size_t columns_on_screen = 0;

void put_on_terminal(const std::string& text)
{
    write_text(stderr, text.data(), text.size());
    (void)std::fflush(stderr);
}

void draw(progress_line& line, progress_clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - line.copy_start).count();
    const double rate = seconds > 0 ? static_cast<double>(line.done) / MIB / seconds : 0.0;
    std::array<char, 96> figures{};
    (void)std::snprintf(figures.data(), figures.size(), "%.1f of %.1f MiB, %.1f MiB/s",
                        static_cast<double>(line.done) / MIB, static_cast<double>(line.total) / MIB, rate);
    // Read at each redraw: the user may resize the terminal during the copy.
    const std::size_t terminal_width = terminal_columns(stderr);
    std::string text = fitted_progress_text(line.verb, line.path, line.destination, figures.data(), terminal_width);
    if (text.empty()) {
        // Too narrow a terminal for the figures: whatever was shown goes.
        hide_progress();
        line.shown_width = 0;
        line.drawn_at = now;
        return;
    }
    // Shorter than the line it replaces: blanks cover the rest.
    const std::size_t width = columns_of(text);
    const std::size_t blanked = columns_to_blank(columns_on_screen, terminal_width);
    if (width < blanked) {
        text.append(blanked - width, ' ');
    }
    // Counted before it is written: a signal that comes in between erases all of it.
    if (width > columns_on_screen) {
        columns_on_screen = width;
    }
    put_on_terminal("\r" + text);
    line.shown_width = width;
    columns_on_screen = width;
    line.drawn_at = now;
}

} // namespace

progress_line start_progress_line()
{
    progress_line line{};
    line.wanted = is_terminal(stderr);
    line.run_start = progress_clock::now();
    return line;
}

void begin_progress(progress_line& line, const char* verb, const std::string& path, const std::string& destination,
                    std::int64_t total)
{
    line.verb = verb;
    line.path = path;
    line.destination = destination;
    line.total = total;
    line.done = 0;
    line.copy_start = progress_clock::now();
}

bool progress_wanted(const progress_line& line)
{
    return line.wanted && !line.verb.empty();
}

void count_progress(progress_line& line, std::int64_t bytes)
{
    line.done += bytes;
    const progress_clock::time_point now = progress_clock::now();
    // A line that printing took off the terminal comes back at once.
    const bool taken_off = line.shown_width != 0 && columns_on_screen == 0;
    if (now - line.run_start >= QUIET_START && (taken_off || now - line.drawn_at >= REDRAW_EVERY)) {
        draw(line, now);
    }
}

void hide_progress()
{
    const std::size_t shown = columns_on_screen;
    if (shown != 0) {
        put_on_terminal("\r" + std::string(columns_to_blank(shown, terminal_columns(stderr)), ' ') + "\r");
        columns_on_screen = 0;
    }
}

void end_progress(progress_line& line)
{
    hide_progress();
    line.shown_width = 0;
    line.verb.clear();
}

void erase_progress_now()
{
    static const char BLANKS[] = "                                ";
    std::size_t left = columns_on_screen;
    if (left == 0) {
        return;
    }
    write_error_raw("\r", 1);
    while (left > 0) {
        const std::size_t chunk = std::min(left, sizeof BLANKS - 1);
        write_error_raw(BLANKS, chunk);
        left -= chunk;
    }
    write_error_raw("\r", 1);
    columns_on_screen = 0;
}
