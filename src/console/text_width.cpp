#include "text_width.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <numeric>
#include <vector>

namespace {

constexpr char ELLIPSIS[] = "...";
constexpr std::size_t ELLIPSIS_COLUMNS = sizeof ELLIPSIS - 1;
// A shortened path keeps a column of its own besides the ellipsis.
constexpr std::size_t MIN_PATH_COLUMNS = ELLIPSIS_COLUMNS + 1;
// Narrower than this, a terminal gets no line at all: what would fit is too
// little to tell anything.
constexpr std::size_t MIN_TERMINAL_COLUMNS = 30;

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

// Combining marks, drawn over the character before them in no column of
// their own. The marks of single scripts (Hebrew points, Indic vowel signs)
// are not here and count one column, which can only make the line shorter.
constexpr std::array<code_range, 5> COMBINING_MARKS{{
    {0x0300, 0x036F},  // combining diacritical marks
    {0x1AB0, 0x1AFF},  // their extension
    {0x1DC0, 0x1DFF},  // their supplement
    {0x20D0, 0x20FF},  // combining marks for symbols
    {0xFE20, 0xFE2F},  // combining half marks
}};

// What a terminal draws as one: a character's bytes with those of the
// combining marks after it, and the columns they take together.
struct character {
    std::size_t bytes;
    std::size_t columns;
};

template <std::size_t N>
bool is_in(const std::array<code_range, N>& ranges, char32_t code)
{
    return std::any_of(ranges.begin(), ranges.end(),
                       [code](const code_range& range) { return code >= range.first && code <= range.last; });
}

std::size_t columns_of_code(char32_t code)
{
    return is_in(WIDE_CHARACTERS, code) ? 2 : is_in(COMBINING_MARKS, code) ? 0 : 1;
}

// The single code point that starts at `at`. A byte that starts no valid
// UTF-8 sequence is a character of its own, one column wide, as terminals
// show it.
character code_point_at(const std::string& text, std::size_t at)
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
    return {length, columns_of_code(code)};
}

// `text` as a terminal draws it, so that a cut never parts a mark from the
// character it marks. A mark at the very start stands alone, in no column.
std::vector<character> characters_of(const std::string& text)
{
    std::vector<character> characters;
    for (std::size_t at = 0; at < text.size();) {
        const character c = code_point_at(text, at);
        if (c.columns == 0 && !characters.empty()) {
            characters.back().bytes += c.bytes;
        } else {
            characters.push_back(c);
        }
        at += c.bytes;
    }
    return characters;
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

// The columns a path cannot be shortened below: a shortened path keeps at
// least its last character besides the ellipsis, and a wide one takes two.
std::size_t least_columns(const std::string& path)
{
    const std::vector<character> characters = characters_of(path);
    const std::size_t last = characters.empty() ? 0 : characters.back().columns;
    return std::min(columns_of(path), ELLIPSIS_COLUMNS + std::max(last, std::size_t{1}));
}

} // namespace

std::size_t columns_of(const std::string& text)
{
    const std::vector<character> characters = characters_of(text);
    return std::accumulate(characters.begin(), characters.end(), std::size_t{0},
                           [](std::size_t sum, const character& c) { return sum + c.columns; });
}

std::string elide_middle(const std::string& text, std::size_t columns)
{
    if (columns_of(text) <= columns) {
        return text;
    }
    if (columns < MIN_PATH_COLUMNS) {
        return std::string(columns, '.');
    }
    const std::size_t kept = columns - ELLIPSIS_COLUMNS;
    const std::size_t head_bytes = bytes_within(text, kept / 2);
    const std::size_t tail_room = kept - columns_of(text.substr(0, head_bytes));
    const std::vector<character> characters = characters_of(text);
    std::size_t tail_bytes = 0;
    std::size_t tail_columns = 0;
    for (auto c = characters.rbegin(); c != characters.rend() && tail_columns + c->columns <= tail_room; ++c) {
        tail_bytes += c->bytes;
        tail_columns += c->columns;
    }
    return text.substr(0, head_bytes) + ELLIPSIS + text.substr(text.size() - tail_bytes);
}

namespace {

// The columns each of two paths gets of `budget`: half each, but a path
// shorter than its half leaves the rest to the other, so the longer path
// gives way before the shorter.
void share_columns(const std::string& path, const std::string& destination, std::size_t budget,
                   std::size_t& path_room, std::size_t& destination_room)
{
    const std::size_t path_columns = columns_of(path);
    const std::size_t destination_columns = columns_of(destination);
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

// With the paths gone: the verb and the figures, or the figures alone, or "".
std::string without_paths(const std::string& lead, const std::string& figures, std::size_t room)
{
    std::string verb_and_figures = lead;
    verb_and_figures += figures;
    const std::string shorter[] = {verb_and_figures, figures};
    const std::string* const fits = std::find_if(std::begin(shorter), std::end(shorter),
                                                 [room](const std::string& line) { return columns_of(line) <= room; });
    return fits != std::end(shorter) ? *fits : "";
}

} // namespace

std::string fitted_progress_text(const std::string& verb, const std::string& path, const std::string& destination,
                                 const std::string& figures, std::size_t terminal_width)
{
    const std::string lead = verb + " ";
    const std::string joiner = destination.empty() ? "" : " to ";
    const std::string tail = ": " + figures;
    const auto glued = [&](const std::string& shown_path, const std::string& shown_destination) {
        return lead + shown_path + (joiner.empty() ? "" : joiner + shown_destination) + tail;
    };
    std::string whole = glued(path, destination);
    if (terminal_width == 0) {
        return whole;
    }
    if (terminal_width < MIN_TERMINAL_COLUMNS) {
        return "";
    }
    // A Windows console wraps a line that reaches its last column.
    const std::size_t room = terminal_width - 1;
    if (columns_of(whole) <= room) {
        return whole;
    }
    const std::size_t fixed = columns_of(lead) + columns_of(joiner) + columns_of(tail);
    const std::size_t least = least_columns(path) + (joiner.empty() ? 0 : least_columns(destination));
    if (fixed + least > room) {
        return without_paths(lead, figures, room);
    }
    std::size_t path_room = room - fixed;
    std::size_t destination_room = 0;
    if (!joiner.empty()) {
        share_columns(path, destination, room - fixed, path_room, destination_room);
    }
    return glued(elide_middle(path, path_room), elide_middle(destination, destination_room));
}

std::size_t columns_to_blank(std::size_t shown_width, std::size_t terminal_width)
{
    return terminal_width == 0 ? shown_width : std::min(shown_width, terminal_width - 1);
}
