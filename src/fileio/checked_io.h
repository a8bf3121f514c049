// File operations: each one succeeds completely or ends the process through
// fatal_error, so callers never test results. Messages name the file and the
// reason. Every read and write names its offset; no file position is kept.
// Stands above the console, through which it prints, and the way a run
// ends, and knows nothing of the archive format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "console.h"
#include "ending.h"

// Refusals of what the user asked, under the request's lead ("Cannot update
// pak0.pak: ", "Cannot finish the interrupted update of pak0.pak: ",
// "Cannot undo the update of pak0.pak: "), then `format` filled in.
enum class request_lead {
    update,
    finish,
    undo,
};
[[noreturn]] void refuse(request_lead lead, const char* target_path, const char* format, ...)
    TARNWICK_PRINTF_FORMAT(3, 4);
// A file that ends before bytes it must hold: "File read failure", and on
// standard error the file and what lies past its end, as "update.pak is 7
// bytes, " followed by `lacking` ("shorter than its 12-byte header", "but
// its directory ends at byte 300").
[[noreturn]] void fail_short_file(const char* path, std::int64_t length, const std::string& lacking);

// An open file together with the name its failures are reported under.
struct checked_file {
    std::intptr_t handle;  // NO_FILE once closed
    const char* path;
};
constexpr std::intptr_t NO_FILE = -1;

inline constexpr char BACKUP_SUFFIX[] = ".bak";

// Opening and closing. Only regular files open.
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

// Locks that keep a second run away: held by the open file until the
// process ends, however it ends. Where a file system keeps no locks the run
// goes on without them, as the system's own tools do.
enum class file_lock {
    held,
    busy,  // another process holds it
};
file_lock lock_file(const checked_file& file);

// Whether another process holds a file open, when asked. The tool's own
// process never counts; on Windows, which cannot say whose a handle is,
// none of the tool's own handles may be open on the file when it asks.
enum class holder_kind {
    nobody,    // that could be seen
    program,   // another program: a game, an editor, a scanner
    tarnwick,  // only another run of this tool
};
struct file_holder {
    holder_kind kind;
    std::string program;  // its name, "" where the system does not tell it
    bool unseen;          // some processes could not be looked at
};
file_holder holder_of(const char* path);

// Reading and writing at an offset.
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

// Stable storage.
// Puts everything written so far on stable storage; a failure is a write failure.
void flush_to_disk(const checked_file& file);
// Flushes the file while `work(context)` runs on another thread, and returns
// once both have ended (see start_side_work).
void flush_beside(const checked_file& file, void (*work)(void*), void* context);
// Puts the folder's list of names (a file created or removed in it) on stable
// storage; a folder that cannot be opened for this (written but not read)
// through the flush of the volume that holds `on_its_volume`. Only a system
// without folder flushes passes over it.
void flush_folder_of(const char* path, const checked_file& on_its_volume);

// Copies. A copy is read back before anything is replaced or deleted on its
// word: file systems have shipped copy paths that report success and leave
// other bytes. A build for measuring the check's price turns it off.
#ifdef TARNWICK_UNCHECKED_COPIES
constexpr bool CHECK_COPIES = false;
#else
constexpr bool CHECK_COPIES = true;
#endif
// `length` bytes that go to `target_offset`: from `source` at
// `source_offset`, or, with no source, from `bytes` in memory.
struct copy_span {
    const checked_file* source;
    const void* bytes;
    std::int64_t source_offset;
    std::int64_t target_offset;
    std::int32_t length;
};
// Copies the span, inside the kernel where the system can, starts writing
// it out to the disk without waiting where its source was in memory (no
// flush: that stays the caller's), and counts its bytes towards `progress`,
// if any.
void copy_span_to(const checked_file& target, const copy_span& span, progress_line* progress);
// True when the span's bytes are in `target`; false when either file ends
// before them.
bool copy_matches(const checked_file& target, const copy_span& span, progress_line* progress);
// Flushes `target` and meanwhile reads every span back from it in fixed
// buffers and compares it with its source: the disk writes while the
// program reads. A span that differs is copied once more through the
// program's own buffer and compared again, and the file flushed again; one
// that still differs is a write failure. Returns once the copies are right
// and on the disk. With `found`, it also tells what the read-back found.
// File identity and status (state_of, below).
struct file_state {
    std::uint64_t volume;
    std::uint64_t index;
    std::uint64_t index_high;
    std::int64_t size;
    std::int64_t modified;
    std::int64_t changed;
};
struct copies_read_back {
    bool fingerprinted;        // false where nothing is read back (CHECK_COPIES off)
    std::uint64_t first_span;  // the fingerprint of the first span's bytes as read back
    // The target's status once the read-back and the flush are over: taken
    // after the file's own writes, which some systems date at the flush.
    file_state state;
};
void flush_checked_copies(const checked_file& target, const copy_span* spans, std::size_t count,
                          progress_line& progress, copies_read_back* found);

// Copies through the program, read-backs and fingerprints move a file in
// chunks of one size, through two buffers they share: one allocation, however
// large the file, and nothing large on a thread's stack (1 MiB on Windows).
// 1 MiB, the size the read-back always had: a late update of a 256 MiB
// archive under wine took 2.5-3.9 s with 4 KiB chunks, 1.3-1.8 s with 1 MiB.
constexpr std::int32_t COPY_CHUNK_SIZE = 1 << 20;
// One of the two shared buffers, `which` 0 or 1, each COPY_CHUNK_SIZE bytes: a
// caller holds them only while its own loop runs.
unsigned char* shared_buffer(int which);
// Calls `visit(at, count)` for each chunk of bytes from `at` up to
// `length`, each `size` bytes but the last, until a call returns false;
// true when none did.
template <typename visitor>
bool for_each_chunk(std::int64_t at, std::int64_t length, std::int32_t size, visitor visit)
{
    while (at < length) {
        const std::int64_t left = length - at;
        const auto count = static_cast<std::int32_t>(left < size ? left : size);
        if (!visit(at, count)) {
            return false;
        }
        at += count;
    }
    return true;
}

// A fingerprint of `length` bytes at `offset`, read in chunks: the same
// bytes give the same value on every host.
std::uint64_t fingerprint_of(const checked_file& file, std::int64_t offset, std::int64_t length);
std::uint64_t fingerprint_of_bytes(const void* bytes, std::size_t count);
// The same taken piece by piece, from bytes a caller reads anyway: every
// piece but the last a whole number of chunks (COPY_CHUNK_SIZE).
struct fingerprint_state {
    std::array<std::uint64_t, 4> lanes;
    std::uint64_t tail;
};
fingerprint_state start_fingerprint(std::int64_t length);
void add_to_fingerprint(fingerprint_state& state, const void* bytes, std::size_t count);
std::uint64_t fingerprint_value(const fingerprint_state& state);

// File identity and status, taken on open files wherever the system allows
// (file_state, above).
file_state state_of(const checked_file& file);
bool same_state(const file_state& a, const file_state& b);
// The same on every field but the change time, which a rename moves.
bool same_state_but_change_time(const file_state& a, const file_state& b);
// True when both open files are one file.
bool same_open_file(const checked_file& a, const checked_file& b);
// True when `path` names the open `file`, whatever the spelling or link.
// This and the checks of names below answer "nothing there" only when the
// system says so; any other failure of their calls ends the run, as an
// error reading the status of the name, never as an answer.
bool path_names(const char* path, const checked_file& file);

// Names.
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
// True when `path` leads to a regular file, as far as can be told before it
// is opened: false for nothing, a folder, a device, a pipe or a socket.
bool leads_to_regular_file(const char* path);
// The current folder's absolute path, or "" where the system cannot tell.
std::string folder_of_run();
// Removes the name; "" on success, else the system's reason.
std::string remove_file(const char* path);
// Gives the file `from` the name `to` in one step, replacing what `to` names;
// a failure is a write failure of `to`.
void rename_file(const char* from, const char* to);

// Exchanging the files at two names: in one step where the system can,
// elsewhere by three renames, none of which replaces a file: `a` to
// `third`, `b` to `a`, `third` to `b`. Where the system has no rename that
// refuses to replace, each is a plain rename made once its destination is
// found free. Each rename is flushed before the next, through the folder
// or, on Windows, the moved file's handle, which must be open for writing;
// the last is the caller's to flush (flush_renamed), once it has said what
// was done. The caller holds, through the renames, the files' locks and the
// claim (a pending file) on the one name another run would make a new `b`
// under, so that no run takes a name the renames leave free.
inline constexpr char EXCHANGE_TEMP_SUFFIX[] = ".tarnwick-undo";
struct exchange_names {
    std::string a;
    std::string b;
    std::string third;  // `a` and EXCHANGE_TEMP_SUFFIX
};
exchange_names exchange_names_for(const std::string& a, const std::string& b);
// How far the three renames went, from the names that stand.
enum class exchange_step {
    none,     // nothing at the third name
    a_moved,  // `a` at the third name, `b` at its own
    b_moved,  // `a` at the third name, `b` at `a`
    unclear,  // the third name beside both others, or beside neither
};
exchange_step exchange_step_of(const exchange_names& names);
struct exchange_failure {
    std::string step;    // "" when the exchange is done, else what failed: "renaming X to Y"
    std::string reason;  // the system's, or the folder's where the folder refuses
    bool put_back;       // the names are back as they were before the exchange began
};
// The notes (see set_failure_notes) that each step switches to once its
// rename is made: the exchange half done, or done. Names back as they were
// have none.
struct failure_notes {
    const char* on_failure;
    const char* on_interrupt;
};
struct exchange_notes {
    failure_notes half_done;
    failure_notes done;
};
// Exchanges the files, or finishes the renames that reached `done`. The
// files stay open, and their locks held, throughout. Each rename is a
// commit step that switches the note inside it. A rename that fails takes
// back those before it, in reverse.
exchange_failure exchange_files(const exchange_names& names, exchange_step done, const checked_file& a_file,
                                const checked_file& b_file, const exchange_notes& notes);
// Gives the file at `from` the name `to`, replacing the file there, which
// Windows requires to be open nowhere; the caller flushes the rename.
// "" on success, else the reason, the folder's where the folder refuses.
std::string move_over(const char* from, const char* to);
// Puts the rename that gave the open `file` the name `path` on stable
// storage; a failure is a write failure of the folder.
void flush_renamed(const checked_file& file, const std::string& path);
// True when the byte at `i` ends a folder part: '/', and on Windows also
// a backslash and a drive's ':'.
bool ends_folder_part(const std::string& path, std::size_t i);
// The folder part of a path as the system reads it, and the last name in it.
std::string folder_of(const std::string& path);
std::string name_of(const std::string& path);
// The folder that holds `path`, as the user can find it: for a name
// without one, the current folder's full path.
std::string shown_folder_of(const char* path);
// Appends the names in a folder; 0 or the error of its listing.
int names_in_folder(const std::string& folder, std::vector<std::string>& names);

// A file made whole under a temporary name beside its final one, and only
// then given that name, so that no failed or killed run leaves it cut short
// (git's lockfile). While pending, a failure, and a signal that ends the
// run, remove it; a run has at most one pending file.
struct pending_file {
    checked_file file;  // open on the temporary name; messages name `final_path`
    std::string temp_path;
    std::string final_path;
    std::string failure;  // why a leftover could not be removed
    bool flushed;         // its bytes are on stable storage
};
enum class reservation {
    made,
    held,         // another run holds the temporary file
    unremovable,  // a killed run's leftover stands there and cannot be removed
};
// What becomes of a temporary file that no run holds: what a killed run left.
enum class leftover {
    remove,  // removed, and the file made anew
    keep,    // left as it is, and nothing reserved: a dry run asks only whether a run could
};
// Creates the temporary file, locked.
reservation reserve_pending_file(pending_file& pending, const std::string& final_path, const std::string& temp_path,
                                 leftover found);
// Puts the file, just filled by copies, on stable storage while the copies
// are read back (flush_checked_copies), so that what the caller checks next
// holds until the commit.
void flush_pending_copies(pending_file& pending, const copy_span* copies, std::size_t count, progress_line& progress,
                          copies_read_back* found);
// Flushes the file unless that is done, renames it over `final_path`,
// flushes the folder. The file stays open, now under its final name.
void commit_pending_file(pending_file& pending);
// Removes the temporary file.
void abandon_pending_file(pending_file& pending);
// Removes the last extension. '/' separates folders, on Windows also '\'
// and a drive's ':'; the byte at index 0 never starts an extension.
void drop_extension(std::string& path);
