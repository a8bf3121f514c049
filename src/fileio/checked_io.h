// File operations: each one succeeds completely or ends the process through
// fatal_error, so callers never test results. Messages name the file and the
// reason. Stands above the console, through which it prints, and knows
// nothing of the archive format.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "console.h"

// The one way a run fails: prints the error banner and the message on
// standard output and exits with status 1; process exit flushes and closes
// every stream still open.
[[noreturn]] void fatal_error(const char* format, ...) TARNWICK_PRINTF_FORMAT(1, 2);

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

// Opening and closing. Only regular files open.
checked_file open_for_read(const char* path);
// Creates the file or truncates it to zero length.
checked_file open_for_write(const char* path);
// Creates a new file for reading and writing, never through a link; the
// stream is null when something already stands at `path`. Messages name
// the file `shown_path`, the name it is made for.
checked_file create_new_file(const char* path, const char* shown_path);
// Opens an existing file for writing without changing a byte of it.
checked_file open_for_update(const char* path);
// Closes the stream; a failure to flush the last buffered bytes is a write failure.
void close_file(checked_file& file);

// Locks that keep a second run away: held by the open file until the
// process ends, however it ends. Where a file system keeps no locks the run
// goes on without them, as the system's own tools do.
enum class file_lock {
    held,
    busy,  // another process holds it
};
file_lock lock_file(const checked_file& file);

// Reading, writing and seeking.
// Reads up to `count` bytes and returns how many arrived.
std::int32_t read_up_to(const checked_file& file, void* buffer, std::int32_t count);
void read_exact(const checked_file& file, void* buffer, std::int32_t count);
void write_exact(const checked_file& file, const void* buffer, std::int32_t count);
void seek_to(const checked_file& file, std::int64_t offset);
std::int64_t tell_position(const checked_file& file);
// Length of the file behind the stream, whose position is left unchanged.
// Refuses a file of 2^31 bytes or more.
std::int32_t stream_length(const checked_file& file);
// Cuts the file to `length` bytes and leaves the stream positioned there.
void truncate_at(const checked_file& file, std::int64_t length);
// Copies count bytes from the current position of `from` to the current
// position of `to`, reporting them to the progress line.
void copy_bytes(const checked_file& from, const checked_file& to, std::uint32_t count);

// Copies as copy_bytes does, but only through the program's own buffer,
// never inside the kernel: the way to redo a copy the kernel got wrong.
void copy_bytes_in_program(const checked_file& from, const checked_file& to, std::uint32_t count);

// Copies are read back before anything is replaced or deleted on their
// word: file systems have shipped copy paths that report success and leave
// other bytes. Both compare in fixed buffers and count towards the progress
// line. A build for measuring the check's price turns it off.
#ifdef TARNWICK_UNCHECKED_COPIES
constexpr bool CHECK_COPIES = false;
#else
constexpr bool CHECK_COPIES = true;
#endif
// A copy that still reads back wrong after it was redone: a write failure.
[[noreturn]] void copied_bytes_differ(const checked_file& file);
// True when `count` bytes at the two offsets are equal; false when either
// file ends before them.
bool same_bytes_at(const checked_file& a, std::int64_t a_offset, const checked_file& b, std::int64_t b_offset,
                   std::uint32_t count);
// True when `count` bytes of the file at `offset` are `bytes`.
bool same_bytes_as(const checked_file& file, std::int64_t offset, const void* bytes, std::uint32_t count);

// Stable storage.
// Puts everything written so far on stable storage; a failure is a write failure.
void flush_to_disk(const checked_file& file);
// Puts the folder's list of names (a file created or removed in it) on stable
// storage. A folder that cannot be opened for this, or a system without
// folder flushes, is passed over.
void flush_folder_of(const char* path);

// File identity and names.
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
// Gives the file `from` the name `to` in one step, replacing what `to` names;
// a failure is a write failure of `to`.
void rename_file(const char* from, const char* to);
// A file that the process removes if it ends through fatal_error, until
// set back to nullptr: a half-made file never outlives a failed run.
void set_pending_file(const char* path);
void remove_pending_file();

// The backup.
inline constexpr char BACKUP_TEMP_SUFFIX[] = ".tarnwick-new";
// Removes the last extension. '/' separates folders, on Windows also '\'
// and a drive's ':'; the byte at index 0 never starts an extension.
void drop_extension(std::string& path);
std::string backup_path_for(const std::string& target_path);
// The name the backup is made under before it replaces the earlier one.
std::string backup_temp_path_for(const std::string& backup_path);
// Claims the backup name for this run before anything changes: creates the
// temporary file, locked and removed again if the run fails, after removing
// one a killed run left. Refuses a backup that would be the target, or a
// backup name another run is using.
checked_file reserve_backup(const char* target_path, const std::string& backup_path, const std::string& temp_path);
// Opens the existing backup for reading, locked; refuses one another run holds.
checked_file open_locked_backup(const char* target_path, const std::string& backup_path);
// Copies the target into the temporary file, puts it on stable storage and
// renames it over the backup name; `temp` stays open, on the backup now.
void fill_backup(const checked_file& target, const checked_file& temp, const std::string& temp_path);
