// A file made whole under a temporary name beside its final one, and only
// then given that name, so that no failed or killed run leaves it cut short
// (git's lockfile). While pending, a failure, and a signal that ends the
// run, remove it: it registers its removal with the way a run ends when it
// is reserved and clears it at commit or abandon. A run has at most one.
//
// The calling sequence:
//   pending_file pending{};
//   if (reserve_pending_file(pending, final, temp, leftover::remove) != reservation::made) ...
//   copy_span_to(pending.file, span, &progress, &early);  fill it
//   flush_pending_copies(pending, spans, count, progress, &found, &early);
//   commit_pending_file(pending);                  or abandon_pending_file(pending)
// reserve_pending_file answers whether it could claim the name; a failure
// of any call ends the run, and removes the file while it is pending.
#pragma once

#include <cstddef>
#include <string>

#include "copies.h"

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
                          copies_read_back* found, const early_read_back* early);
// Flushes the file unless that is done, renames it over `final_path`,
// flushes the folder, as one commit step. The file stays open, now under
// its final name.
void commit_pending_file(pending_file& pending);
// Removes the temporary file.
void abandon_pending_file(pending_file& pending);
