// The file operations' seam with the system: the few calls that differ
// between platforms, each answering one question or doing one thing, with
// no messages and no decisions. open_file.cpp, copy.cpp, file_names.cpp and
// pending_file.cpp hold the logic and the messages; file_system_posix.cpp,
// file_system_linux.cpp and file_system_windows.cpp hold the calls, chosen
// by the build. Every read and write names its offset: no file position is
// kept anywhere, so nothing has to be flushed or sought before a call.
// The test build tarnwick-faults puts file_system_faults.cpp in front of
// the calls, to count them by kind and fail or stop a chosen one; a call
// added here is added to its table and to the names CMake renames.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "checked_file.h"

// Error numbers are errno values on every platform.
// What an error number means, in the words every message uses: strerror's,
// but for Windows' sharing violation, which its C library has no words for.
const char* error_text(int error);
// The error number the system's own code of an error becomes: errno's own
// on POSIX, the mapping of Win32 errors on Windows. The test build
// (file_system_faults.cpp) fails calls with the system's codes through it.
int error_from_system(unsigned long code);

// A descriptor on POSIX, a HANDLE on Windows.
using native_handle = std::intptr_t;
constexpr native_handle NO_NATIVE_HANDLE = -1;

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

enum class open_mode {
    read,
    read_write,  // an existing file, never created or truncated
    create_new,  // read and write; fails with EEXIST when anything, a link included, is there
};
// NO_NATIVE_HANDLE on failure, with `error` set. A new file gets the
// process's default permissions, as cp would give it.
native_handle open_native(const char* path, open_mode mode, int& error);
// Windows names devices such as NUL in every folder, so only the opened
// handle can tell a disk file from one; elsewhere always true.
bool is_disk_file(native_handle file);
// 0 or an error number.
int close_native(native_handle file);

// Each moves up to `count` bytes at `offset` and returns how many moved (0 at
// the end of the file), or -1 with `error` set.
std::int64_t read_native(native_handle file, void* buffer, std::uint32_t count, std::int64_t offset, int& error);
std::int64_t write_native(native_handle file, const void* buffer, std::uint32_t count, std::int64_t offset,
                          int& error);

// Which file a path or an open file is: file_identity, in checked_file.h.
// What an open file is now: who it is and the marks every change leaves.
struct file_status {
    file_identity identity;
    std::int64_t size;
    std::int64_t modified;  // nanoseconds, or the system's finest unit
    std::int64_t changed;   // the status change time; Windows has none and repeats `modified`
    bool regular;
};
bool status_of_native(native_handle file, file_status& status);

// Each returns 0 or an error number.
int truncate_native(native_handle file, std::int64_t length);
int sync_native(native_handle file);
// Starts writing `length` bytes at `offset` out to the disk and returns
// without waiting, where the system can; elsewhere it does nothing. It makes
// nothing durable, only sync_native does, and nothing depends on it: a
// failure to write shows at the flush.
void start_writing_out(native_handle file, std::int64_t offset, std::int64_t length);
// How many of `length` bytes at `offset` the system holds in memory, counted
// in whole pages, or -1 where it cannot tell.
std::int64_t bytes_in_memory(native_handle file, std::int64_t offset, std::int64_t length);
// Tells the system that `length` bytes at `offset` are about to be read
// once, in order, so that it reads further ahead; a hint only, where the
// system takes one.
void expect_reading_in_order(native_handle file, std::int64_t offset, std::int64_t length);
// Puts the names in `folder` on stable storage. A folder that cannot be
// opened for its flush (one that can be written but not read) is covered
// by the flush of the whole volume that holds the open `on_its_volume`,
// where the system has one; else the open's error. A system without folder
// flushes counts as flushed.
int sync_folder(const char* folder, native_handle on_its_volume);
// Flushes everything written on the volume that holds `file`; ENOTSUP where
// the system cannot.
int sync_volume(native_handle file);

// Runs `work(context)` on a thread of its own while the caller goes on, so
// that the program reads while it waits for the disk; `finish_side_work`
// waits for it to end. One at a time. The thread takes no signals: they stay
// with the program's own thread, whose handler ends the process. Where the
// system has no such thread, or none can be started, `work` runs at once.
// The work must neither print nor end the program: it reports through its
// context.
void start_side_work(void (*work)(void*), void* context);
void finish_side_work();

// An exclusive lock held by the open file, never waited for: it ends with
// the process however that ends. `refused` where the file system has no locks.
enum class lock_outcome {
    taken,
    busy,
    refused,
};
lock_outcome lock_native(native_handle file);
// Gives the file at `from` the name `to`, replacing whatever `to` names (a
// link itself, not what it leads to). Returns 0 or an error number.
int rename_path(const char* from, const char* to);

// Gives the file at `from` the name `to` unless something stands there
// already (EEXIST). Returns 0 or an error number; ENOTSUP where the system
// or the file system cannot rename without replacing.
int rename_path_no_replace(const char* from, const char* to);
// True when a name could not be made or changed because the folder that
// holds it refuses changes, not because of the file.
bool refused_by_folder(int error);

// Exchanges the files two names give, in one step that no crash can split.
// Returns 0 or an error number; ENOTSUP where the system or the file system
// has no such step.
int exchange_paths(const char* a, const char* b);
// Puts the renames of the open `file` in `folder` on stable storage: the
// folder's flush on POSIX, as sync_folder. Windows keeps no folder flush; its file systems
// log renames in order with the files' metadata, which the file's own flush
// writes out. 0 or an error number.
int sync_renames(native_handle file, const char* folder);

// The checks of names: each returns 0, or ENOENT when nothing stands at the
// name (a folder on the way that is missing or no folder included), or the
// error of a call that could not look, which is never an answer.
int identity_of_path(const char* path, file_identity& identity);
// False unless the standard stream writes to a regular file.
bool identity_of_stream(std::FILE* stream, file_identity& identity);

enum class link_state {
    nothing,     // no file at all at the path
    not_link,    // a file or a folder
    link,
    unreadable,  // `error` tells why
};
// For a symbolic link, `target` receives what it points to, as written.
// Windows answers `not_link` or `nothing`.
link_state read_link(const char* path, std::string& target, int& error);
// Appends the names in the folder, "." and ".." left out; 0 or the error
// of the open or of a read of the listing.
int list_folder(const char* folder, std::vector<std::string>& names);
// The current folder's absolute path, or "" where the system cannot tell.
std::string current_folder();
// 0 when anything at all stands at `path`, else as identity_of_path.
int look_at(const char* path);
// Whether removing the open `file`'s name from `folder` would be allowed,
// as far as the system tells without trying: the folder's rights and sticky
// bit, the file's attributes (immutable, append-only; Windows' read-only).
enum class removal_outlook {
    allowed,
    refused,  // `error` is what the removal would fail with
    unknown,
};
removal_outlook outlook_of_removal(const char* folder, native_handle file, int& error);
// The processes, other than this one, that hold the file at `path` open,
// as far as the system lets this one see: Linux tells each one's name,
// Windows only that some handle it cannot share is open ("" for its name).
struct holders_found {
    std::vector<std::string> programs;  // one name per process found
    bool unseen;                        // some processes could not be looked at
};
holders_found holders_of(const char* path);
// Removes a file's name. 0 or an error number. Safe in a signal handler.
int remove_path(const char* path);

// Moves up to `count` bytes between the files inside the kernel, without a
// user buffer, where the system can; returns how many moved, 0 when the
// kernel stops or refuses.
std::int64_t kernel_copy(native_handle from, std::int64_t from_offset, native_handle to, std::int64_t to_offset,
                         std::uint32_t count);
