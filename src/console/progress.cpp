// One line on standard error that tells how a long copy is going. A copy of
// a large archive to a slow disk takes minutes, and silence looks like a
// hang; so once a run has lasted a second, and only on a terminal, the line
// shows what is copied, how far it is and how fast, a few times a second.
// It never wraps: a wrapped line cannot be drawn over again, and each redraw
// would leave a row behind.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "console.h"
#include "terminal.h"

namespace {

using progress_clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds QUIET_START{1000};
constexpr std::chrono::milliseconds REDRAW_EVERY{250};
constexpr double MIB = 1024.0 * 1024.0;
constexpr char ELLIPSIS[] = "...";
constexpr std::size_t ELLIPSIS_COLUMNS = sizeof ELLIPSIS - 1;
// A shortened path keeps a column of its own besides the ellipsis.
constexpr std::size_t MIN_PATH_COLUMNS = ELLIPSIS_COLUMNS + 1;

struct code_range {
    char32_t first;
    char32_t last;
};

// Characters that terminals and consoles draw two columns wide: Hangul, CJK
// ideographs with their punctuation, kana and radicals, Yi, fullwidth forms,
// and the pictographs drawn as emoji. The few narrow characters between them
// are counted wide too, which can only make the line shorter than it might be.
constexpr std::array<code_range, 11> WIDE_CHARACTERS{{
    {0x1100, 0x115F},    // Hangul initial consonants
    {0x2E80, 0xA4CF},    // CJK radicals, punctuation, kana, Bopomofo, ideographs, Yi
    {0xA960, 0xA97F},    // Hangul initial consonants, extended
    {0xAC00, 0xD7A3},    // Hangul syllables
    {0xF900, 0xFAFF},    // CJK compatibility ideographs
    {0xFE10, 0xFE19},    // vertical forms
    {0xFE30, 0xFE6F},    // CJK compatibility and small forms
    {0xFF00, 0xFF60},    // fullwidth forms
    {0xFFE0, 0xFFE6},    // fullwidth signs
    {0x1F000, 0x1FAFF},  // game symbols, pictographs, emoji
    {0x20000, 0x3FFFD},  // CJK ideographs beyond the first plane
}};

// One character of UTF-8 text: its bytes, and the columns a terminal gives it.
struct character {
    std::size_t bytes;
    std::size_t columns;
};

struct progress_line {
    bool wanted;        // standard error is a terminal
    bool run_started;   // `run_start` is set
    progress_clock::time_point run_start;
    progress_clock::time_point copy_start;
    progress_clock::time_point drawn_at;
    // What is done ("Copying", "Rewriting"), to which path, and where a copy
    // goes (or ""): kept apart so that the paths, not the words, give way
    // when the line is too long for the terminal.
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

bool is_wide(char32_t code)
{
    return std::any_of(WIDE_CHARACTERS.begin(), WIDE_CHARACTERS.end(),
                       [code](const code_range& range) { return code >= range.first && code <= range.last; });
}

// The character that starts at `at`. A byte that starts no valid UTF-8
// sequence is a character of its own, one column wide, as terminals show it.
character character_at(const std::string& text, std::size_t at)
{
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    std::size_t length = 1;
    char32_t code = lead;
    // The bounds of the second byte, which rule out overlong forms,
    // surrogates and code points past U+10FFFF.
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0FU;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07U;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 1 || length > text.size() - at) {
        return {1, 1};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned next = byte(at + i);
        if (next < (i == 1 ? low : 0x80U) || next > (i == 1 ? high : 0xBFU)) {
            return {1, 1};
        }
        code = (code << 6U) | (next & 0x3FU);
    }
    return {length, is_wide(code) ? 2U : 1U};
}

std::vector<character> characters_of(const std::string& text)
{
    std::vector<character> characters;
    for (std::size_t at = 0; at < text.size(); at += characters.back().bytes) {
        characters.push_back(character_at(text, at));
    }
    return characters;
}

std::size_t columns_of(const std::string& text)
{
    const std::vector<character> characters = characters_of(text);
    return std::accumulate(characters.begin(), characters.end(), std::size_t{0},
                           [](std::size_t sum, const character& c) { return sum + c.columns; });
}

// The bytes of the longest start of `text` that fits in `room` columns.
std::size_t bytes_within(const std::string& text, std::size_t room)
{
    std::size_t bytes = 0;
    std::size_t columns = 0;
    for (const character& c : characters_of(text)) {
        if (columns + c.columns > room) {
            break;
        }
        bytes += c.bytes;
        columns += c.columns;
    }
    return bytes;
}

// `path` in at most `room` columns (MIN_PATH_COLUMNS or more): when it is
// longer, its middle gives way to "...", cut between characters only, and
// its end, the file's own name, gets the column an odd room leaves over.
std::string shortened(const std::string& path, std::size_t room)
{
    if (columns_of(path) <= room) {
        return path;
    }
    const std::size_t kept = room - ELLIPSIS_COLUMNS;
    const std::size_t head_bytes = bytes_within(path, kept / 2);
    const std::size_t tail_room = kept - columns_of(path.substr(0, head_bytes));
    const std::vector<character> characters = characters_of(path);
    std::size_t tail_bytes = 0;
    std::size_t tail_columns = 0;
    for (auto c = characters.rbegin(); c != characters.rend() && tail_columns + c->columns <= tail_room; ++c) {
        tail_bytes += c->bytes;
        tail_columns += c->columns;
    }
    return path.substr(0, head_bytes) + ELLIPSIS + path.substr(path.size() - tail_bytes);
}

// The line for `figures` on a terminal `terminal_width` columns wide, or as
// it comes when the width is unknown (0). It stays out of the last column,
// where a Windows console wraps. The paths give way first, the longer one
// before the shorter; the figures only when even the shortened paths leave
// them no room, and then the line's end is cut.
std::string fitted_text(const progress_line& line, const std::string& figures, std::size_t terminal_width)
{
    const std::string lead = line.verb + " ";
    const std::string joiner = line.destination.empty() ? "" : " to ";
    const auto glued = [&](const std::string& path, const std::string& destination) {
        return lead + path + (joiner.empty() ? "" : joiner + destination) + figures;
    };
    std::string whole = glued(line.path, line.destination);
    const std::size_t room = terminal_width == 0 ? 0 : terminal_width - 1;
    if (terminal_width == 0 || columns_of(whole) <= room) {
        return whole;
    }
    const std::size_t fixed = columns_of(lead) + columns_of(joiner) + columns_of(figures);
    const std::size_t paths = joiner.empty() ? 1 : 2;
    if (fixed + paths * MIN_PATH_COLUMNS > room) {
        return whole.substr(0, bytes_within(whole, room));
    }
    const std::size_t budget = room - fixed;
    std::size_t path_room = budget;
    std::size_t destination_room = 0;
    if (paths == 2) {
        const std::size_t path_columns = columns_of(line.path);
        const std::size_t destination_columns = columns_of(line.destination);
        path_room = budget / 2;
        destination_room = budget - path_room;
        if (path_columns < path_room) {
            path_room = path_columns;
            destination_room = budget - path_columns;
        } else if (destination_columns < destination_room) {
            destination_room = destination_columns;
            path_room = budget - destination_columns;
        }
    }
    return glued(shortened(line.path, path_room), shortened(line.destination, destination_room));
}

// The columns of an earlier line to blank: all of them, but never the
// terminal's last, should it have narrowed since.
std::size_t columns_to_blank(std::size_t shown_width, std::size_t terminal_width)
{
    return terminal_width == 0 ? shown_width : std::min(shown_width, terminal_width - 1);
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
    (void)std::snprintf(figures.data(), figures.size(), ": %.1f of %.1f MiB, %.1f MiB/s",
                        static_cast<double>(line.done) / MIB, static_cast<double>(line.total) / MIB, rate);
    // Read at each redraw: the user may resize the terminal during the copy.
    const std::size_t terminal_width = terminal_columns(stderr);
    std::string text = fitted_text(line, figures.data(), terminal_width);
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
