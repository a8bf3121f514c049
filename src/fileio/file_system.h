// The file operations' seam with the system: the few calls that differ
// between platforms, each answering one question or doing one thing, with
// no messages and no decisions. checked_io.cpp and paths.cpp hold the logic
// and the messages; file_system_posix.cpp, file_system_linux.cpp and
// file_system_windows.cpp hold the calls, chosen by the build.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Error numbers are errno values on every platform, for strerror.

// Windows takes '\' for '/' and a drive's ':' as the end of a folder part;
// elsewhere they are bytes of a name.
extern const bool BACKSLASH_SEPARATES_FOLDERS;

// What stands at a path before it is opened. Windows tells only a folder
// apart, and answers `file_or_nothing` for a device.
enum class path_kind {
    file_or_nothing,
    directory,
    special,  // a device, named pipe or socket
};
path_kind kind_of_path(const char* path);

std::FILE* open_path(const char* path, const char* mode);
// Creates a new file for reading and writing, with the process's default
// permissions; fails with EEXIST when anything, a link included, is there.
std::FILE* create_new_path(const char* path);
// Windows names devices such as NUL in every folder, so only the opened
// handle can tell a disk file from one; elsewhere always true.
bool opened_as_disk_file(std::FILE* stream);

int seek_from_start(std::FILE* stream, std::int64_t offset);
int seek_to_end(std::FILE* stream);
std::int64_t tell(std::FILE* stream);
// Each returns 0 or an error number.
int truncate_stream(std::FILE* stream, std::int64_t length);
int sync_stream(std::FILE* stream);
// A folder that cannot be opened, or a system without folder flushes,
// counts as flushed.
int sync_folder(const char* folder);

// An exclusive lock held by the open file, never waited for: it ends with
// the process however that ends. `refused` where the file system has no locks.
enum class lock_outcome {
    taken,
    busy,
    refused,
};
lock_outcome lock_stream(std::FILE* stream);
// Gives the file at `from` the name `to`, replacing whatever `to` names (a
// link itself, not what it leads to). Returns 0 or an error number.
int rename_path(const char* from, const char* to);

// Which file a path or an open stream is, across names and links.
struct file_identity {
    std::uint64_t volume;
    std::uint64_t index;
};
bool identity_of_path(const char* path, file_identity& identity);
// False unless the stream writes to a regular file.
bool identity_of_stream(std::FILE* stream, file_identity& identity);

enum class link_state {
    nothing,   // no file at all at the path
    not_link,  // a file, a folder, or a path that cannot be read
    link,
};
// For a symbolic link, `target` receives what it points to, as written.
// Windows answers `not_link` or `nothing`.
link_state read_link(const char* path, std::string& target);
// False only when nothing at all is found at `path`.
bool anything_at(const char* path);
bool remove_path(const char* path);

// Copies inside the kernel, without a user buffer, where the system can.
// True when both streams are regular files between which it can, and then
// `source_size` is the source's length.
bool kernel_can_copy(std::FILE* from, std::FILE* to, std::int64_t& source_size);
// Moves up to `count` bytes between the files' own offsets, which advance;
// returns how many moved, 0 when the kernel stops or refuses.
std::int64_t kernel_copy(std::FILE* from, std::int64_t& from_offset, std::FILE* to, std::int64_t& to_offset,
                         std::uint32_t count);
