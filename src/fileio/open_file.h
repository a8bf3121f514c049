// A file's open, read, write and flush. Each call succeeds completely or
// ends the run through fatal_error, so callers never test results; those
// that may not end it say so (try_...). Messages name the file and the
// reason. Every read and write names its offset; no file position is kept.
//
// The calling sequence:
//   checked_file file = open_for_read(path);   or open_for_update, create_new_file
//   lock_file(file);                           held until the process ends (file_locks.h)
//   read_exact(file, offset, buffer, count);   and write_exact, truncate_at
//   flush_to_disk(file);                       a write is done once flushed
//   close_file(file);
// Every call ends the run on failure but try_open_for_read and
// try_read_up_to, which return it.
#pragma once

#include <cstdint>
#include <string>

#include "checked_file.h"
#include "fatal_error.h"

// Only regular files open.
checked_file open_for_read(const char* path);
// Opens an existing file for reading and writing without changing a byte of it.
checked_file open_for_update(const char* path);
// As open_for_read, for a caller that passes over a file it cannot open:
// false with `reason` set.
bool try_open_for_read(const char* path, checked_file& file, std::string& reason);
// Creates a new file for reading and writing, never through a link; the
// handle is NO_FILE when something already stands at `path`. Messages name
// the file `shown_path`, the name it is made for.
checked_file create_new_file(const char* path, const char* shown_path);
void close_file(checked_file& file);
// True when `path` leads to a regular file, as far as can be told before it
// is opened: false for nothing, a folder, a device, a pipe or a socket.
bool leads_to_regular_file(const char* path);

// Reads up to `count` bytes and returns how many arrived.
std::int32_t read_up_to(const checked_file& file, std::int64_t offset, void* buffer, std::int32_t count);
// The same for work that may not end the program (see start_side_work): -1
// with `error` set when a read fails, which read_failure then reports.
std::int32_t try_read_up_to(const checked_file& file, std::int64_t offset, void* buffer, std::int32_t count,
                            int& error);
[[noreturn]] void read_failure(const checked_file& file, int error);
// A file that ends before `count` bytes is a read failure.
void read_exact(const checked_file& file, std::int64_t offset, void* buffer, std::int32_t count);
void write_exact(const checked_file& file, std::int64_t offset, const void* buffer, std::int32_t count);
std::int64_t file_length(const checked_file& file);
void truncate_at(const checked_file& file, std::int64_t length);
// A file that ends before bytes it must hold: "File read failure", and on
// standard error the file and what lies past its end, as "update.pak is 7
// bytes, " followed by `lacking` ("shorter than its 12-byte header", "but
// its directory ends at byte 300").
[[noreturn]] void fail_short_file(const char* path, std::int64_t length, const std::string& lacking);

// Puts everything written so far on stable storage; a failure is a write failure.
void flush_to_disk(const checked_file& file);
// Flushes the file while `work(context)` runs on another thread, and returns
// once both have ended (see start_side_work).
void flush_beside(const checked_file& file, void (*work)(void*), void* context);
