// The columns UTF-8 text takes on a terminal, and the progress line cut to
// fit one: pure functions, apart from the line's timing and drawing, so that
// widths are tested without a terminal.
#pragma once

#include <cstddef>
#include <string>

// Columns of `text` on a terminal: two for CJK, Hangul, fullwidth forms and
// emoji, none for a combining mark, one for anything else, including a
// control byte or a byte of invalid UTF-8.
std::size_t columns_of(const std::string& text);
// `text` in at most `columns` columns: when it is longer, its middle gives
// way to "...", cut between characters only (a combining mark stays with
// the character it marks), and its end gets the column an odd room leaves
// over. Below four columns only dots are left.
std::string elide_middle(const std::string& text, std::size_t columns);
// The progress line "<verb> <path>[ to <destination>]: <figures>" for a
// terminal `terminal_width` columns wide, kept out of its last column; whole
// when the width is unknown (0). The figures are the point of the line: the
// paths shrink first, then go, then the verb goes; when the figures alone do
// not fit, or the terminal is narrower than 30 columns, the line is "" and
// nothing should be drawn.
std::string fitted_progress_text(const std::string& verb, const std::string& path, const std::string& destination,
                                 const std::string& figures, std::size_t terminal_width);
// The columns of an earlier line to blank: all of them, but never the
// terminal's last, should it have narrowed since.
std::size_t columns_to_blank(std::size_t shown_width, std::size_t terminal_width);
