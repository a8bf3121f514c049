// Checked file operations: each one succeeds completely or ends the process
// through fatal_error, so callers never test results.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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

checked_file open_for_read(const char* path);
// Creates the file or truncates it to zero length.
checked_file open_for_write(const char* path);
// Opens an existing file for writing without changing a byte of it.
checked_file open_for_update(const char* path);
// Truncates a file opened by open_for_update to zero length, ready for writing.
void reopen_truncated(checked_file& file);
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

// True when both paths name one existing file, whatever the spelling or link.
bool same_file(const char* path_a, const char* path_b);

// Removes the last extension; only '/' separates directories and the byte at
// index 0 never starts an extension.
void drop_extension(std::string& path);
std::string backup_path_for(const std::string& target_path);
// Copies the target byte for byte to its backup path and returns that path.
std::string make_backup(const std::string& target_path);
