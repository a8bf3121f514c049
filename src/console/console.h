// Text output: everything the tool shows, and the standard streams it shows
// it on. Below the file operations, which print through it; it knows nothing
// of archives or of the files a run updates. Text is UTF-8 throughout; a
// Windows console is written in UTF-16 so that it shows every character
// whatever its code page, while files and pipes get the UTF-8 bytes.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// mingw-w64 routes printf to its own C99 implementation, while the plain
// "printf" archetype there checks against msvcrt's and rejects %zu.
#if defined(__MINGW_PRINTF_FORMAT)
#define TARNWICK_PRINTF_FORMAT(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#elif defined(__GNUC__)
#define TARNWICK_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TARNWICK_PRINTF_FORMAT(fmt, args)
#endif

// The standard streams, made safe before anything is opened: a descriptor
// the caller left closed would otherwise be handed to the first file opened,
// and the program's own text would land in an archive. A reader that goes
// away no longer kills the process; output that cannot be shown is dropped.
void prepare_standard_streams();
// Sends standard output where standard error goes (or nowhere, when that is
// unsafe too), so that a refusal can still be shown.
void divert_output_to_errors(bool errors_are_unsafe);
// Puts standard error on the null device, for when it writes into a file
// that must not take text.
void silence_errors();

// The program's arguments, argv[0] first, each a UTF-8 path. POSIX passes
// argv through untouched; Windows reads its own command line in UTF-16, since
// argv there holds the arguments in the ANSI code page, which cannot spell a
// name in most languages.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// All the tool's text goes out through these: print_text on standard output,
// print_error_text on standard error.
void print_text(const char* format, ...) TARNWICK_PRINTF_FORMAT(1, 2);
void print_error_text(const char* format, ...) TARNWICK_PRINTF_FORMAT(1, 2);
void vprint_text(std::FILE* stream, const char* format, std::va_list args) TARNWICK_PRINTF_FORMAT(2, 0);
// A line of its own on standard error, after "tarnwick: ", for what the
// standard output's texts leave unsaid; `format` has no newline.
void print_note(const char* format, ...) TARNWICK_PRINTF_FORMAT(1, 2);
std::string formatted_text(const char* format, std::va_list args) TARNWICK_PRINTF_FORMAT(1, 0);

// A terminal, or on Windows a console.
bool is_terminal(std::FILE* stream);
// `text` as it may be shown on standard output: on a terminal, control bytes
// become \xHH so that a hostile name cannot drive the terminal.
std::string shown_text(const char* text);

// For a signal handler, which may make only the calls that are safe there:
// takes whatever progress line is shown off the terminal, and writes text
// straight to standard error.
void erase_progress_now();
void write_error_now(const char* text);
