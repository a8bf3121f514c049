// Checked file operations: each one succeeds completely or ends the process
// through fatal_error, so callers never test results.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// A stream together with the path it was opened from, so that every failure
// message can name the file.
struct checked_file {
    std::FILE* stream;
    const char* path;
};

constexpr std::uint32_t COPY_CHUNK_SIZE = 4096;
inline constexpr char BACKUP_SUFFIX[] = ".bak";

// Positions and lengths in an archive are 32-bit signed, so no file the tool
// reads or writes may reach 2^31 bytes.
constexpr std::int64_t MAX_FILE_SIZE = INT32_MAX;

// mingw-w64 routes printf to its own C99 implementation, while the plain
// "printf" archetype there checks against msvcrt's and rejects %zu.
#if defined(__MINGW_PRINTF_FORMAT)
#define TARNWICK_PRINTF_FORMAT(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#elif defined(__GNUC__)
#define TARNWICK_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TARNWICK_PRINTF_FORMAT(fmt, args)
#endif

// Prints the error banner and the message on standard output and exits with
// status 1; process exit flushes and closes every stream still open.
[[noreturn]] void fatal_error(const char* format, ...) TARNWICK_PRINTF_FORMAT(1, 2);

// The program's arguments, argv[0] first, each a UTF-8 path. POSIX passes
// argv through untouched; Windows reads its own command line in UTF-16, since
// argv there holds the arguments in the ANSI code page, which cannot spell a
// name in most languages.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// All the tool's text goes out through these: print_text on standard output,
// print_error_text on standard error. The text is UTF-8; a Windows console is
// written in UTF-16 so that it shows every character whatever its code page,
// and files and pipes get the UTF-8 bytes.
void print_text(const char* format, ...) TARNWICK_PRINTF_FORMAT(1, 2);
void print_error_text(const char* format, ...) TARNWICK_PRINTF_FORMAT(1, 2);
void vprint_text(std::FILE* stream, const char* format, std::va_list args) TARNWICK_PRINTF_FORMAT(2, 0);

// Makes the standard streams safe before anything is opened: a descriptor
// the caller left closed would otherwise be handed to the first file opened,
// and the program's own text would land in an archive. A reader that goes
// away no longer kills the process; output that cannot be shown is dropped.
void prepare_standard_streams();
// Sends standard output where standard error goes (or nowhere, when that is
// unsafe too), so that a refusal can still be shown.
void divert_output_to_errors(bool errors_are_unsafe);
// A terminal, or on Windows a console.
bool is_terminal(std::FILE* stream);
// `text` as it may be shown on standard output: on a terminal, control bytes
// become \xHH so that a hostile name cannot drive the terminal.
std::string shown_text(const char* text);

checked_file open_for_read(const char* path);
// Creates the file or truncates it to zero length.
checked_file open_for_write(const char* path);
// Opens an existing file for writing without changing a byte of it.
checked_file open_for_update(const char* path);
// Cuts the file to `length` bytes and leaves the stream positioned there.
void truncate_at(const checked_file& file, std::int64_t length);
// Puts everything written so far on stable storage; a failure is a write failure.
void flush_to_disk(const checked_file& file);
// Puts the folder's list of names (a file created or removed in it) on stable
// storage. A folder that cannot be opened for this, or a system without
// folder flushes, is passed over.
void flush_folder_of(const char* path);
// Reads up to `count` bytes and returns how many arrived.
std::int32_t read_up_to(const checked_file& file, void* buffer, std::int32_t count);
// Closes the stream; a failure to flush the last buffered bytes is a write failure.
void close_file(checked_file& file);

void read_exact(const checked_file& file, void* buffer, std::int32_t count);
void write_exact(const checked_file& file, const void* buffer, std::int32_t count);
void seek_to(const checked_file& file, std::int64_t offset);
std::int64_t tell_position(const checked_file& file);
// Length of the file behind the stream, whose position is left unchanged.
// Refuses a file of 2^31 bytes or more.
std::int32_t stream_length(const checked_file& file);
// Copies count bytes from the current position of `from` to the current
// position of `to`.
void copy_bytes(const checked_file& from, const checked_file& to, std::uint32_t count);

// A progress line on standard error, for copies long enough to look like a
// hang: shown only on a terminal, once the run has lasted a second. `what`
// names what is copied; copy_bytes counts the bytes towards `total`.
void begin_progress(const std::string& what, std::int64_t total);
// Takes the line off the terminal; it returns with the next bytes counted.
void hide_progress();
void end_progress();

// True when both paths name one existing file, whatever the spelling or link.
bool same_file(const char* path_a, const char* path_b);
// True when the standard stream (stdout or stderr) writes into the existing
// regular file `path`.
bool output_is_file(std::FILE* stream, const char* path);
// True when writing to `path` would create or write `other`: the same file,
// or a link that leads, through links, to where `other` would be.
bool leads_to(const char* path, const char* other);
// False only when nothing at all is found at `path`.
bool path_exists(const char* path);
bool remove_file(const char* path);

// Removes the last extension; only '/' separates directories and the byte at
// index 0 never starts an extension.
void drop_extension(std::string& path);
std::string backup_path_for(const std::string& target_path);
// Copies the target byte for byte to its backup path and returns that path.
std::string make_backup(const std::string& target_path);
