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
//
// The calling sequence:
//   exchange_names names{a, b, third};
//   exchange_step done = exchange_step_of(names);     how far a stopped run went
//   exchange_failure failed = exchange_files(names, done, a_file, b_file, notes);
//   flush_renamed(b_file, names.b);                    once the caller has said so
// exchange_files and move_over return a failure, after taking back what they
// can; exchange_step_of and flush_renamed end the run on failure.
#pragma once

#include <string>

#include "checked_file.h"

struct exchange_names {
    std::string a;
    std::string b;
    std::string third;
};
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
