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
#include "terminal.h"
#include "text_width.h"

namespace {

using progress_clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds QUIET_START{1000};
constexpr std::chrono::milliseconds REDRAW_EVERY{250};
constexpr double MIB = 1024.0 * 1024.0;

struct progress_line {
    bool wanted;        // standard error is a terminal
    bool run_started;   // `run_start` is set
    progress_clock::time_point run_start;
    progress_clock::time_point copy_start;
    progress_clock::time_point drawn_at;
    // What is done ("Copying", "Rewriting"), to which path, and where a copy
    // goes (or ""): kept apart so that the paths give way first when the
    // line is too long for the terminal.
    std::string verb;
    std::string path;
    std::string destination;
    std::int64_t total;
    std::int64_t done;
    std::size_t shown_width;  // columns on the terminal now; 0 when nothing is shown
};

// What the terminal shows now, for a signal handler to erase.
volatile std::size_t columns_on_screen = 0;

progress_line& current()
{
    static progress_line line{};
    return line;
}

void put_on_terminal(const std::string& text)
{
    write_text(stderr, text.data(), text.size());
    (void)std::fflush(stderr);
}

void draw(progress_clock::time_point now)
{
    progress_line& line = current();
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
        line.drawn_at = now;
        return;
    }
    // Shorter than the line it replaces: blanks cover the rest.
    const std::size_t width = columns_of(text);
    const std::size_t blanked = columns_to_blank(line.shown_width, terminal_width);
    if (width < blanked) {
        text.append(blanked - width, ' ');
    }
    put_on_terminal("\r" + text);
    line.shown_width = width;
    columns_on_screen = width;
    line.drawn_at = now;
}

} // namespace

void begin_progress(const char* verb, const std::string& path, const std::string& destination, std::int64_t total)
{
    progress_line& line = current();
    const progress_clock::time_point now = progress_clock::now();
    if (!line.run_started) {
        line.wanted = is_terminal(stderr);
        line.run_started = true;
        line.run_start = now;
    }
    line.verb = verb;
    line.path = path;
    line.destination = destination;
    line.total = total;
    line.done = 0;
    line.copy_start = now;
}

bool progress_wanted()
{
    progress_line& line = current();
    return line.wanted && !line.verb.empty();
}

void count_progress(std::int64_t bytes)
{
    progress_line& line = current();
    line.done += bytes;
    const progress_clock::time_point now = progress_clock::now();
    if (now - line.run_start >= QUIET_START && now - line.drawn_at >= REDRAW_EVERY) {
        draw(now);
    }
}

void hide_progress()
{
    progress_line& line = current();
    if (line.shown_width != 0) {
        put_on_terminal("\r" + std::string(columns_to_blank(line.shown_width, terminal_columns(stderr)), ' ') + "\r");
        line.shown_width = 0;
        columns_on_screen = 0;
        line.drawn_at = {};
    }
}

void end_progress()
{
    hide_progress();
    current().verb.clear();
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
