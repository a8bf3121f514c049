// What keeps a second run, and other programs, away from a file: the lock
// an open file holds, and who else holds a file open.
//
// The calling sequence:
//   checked_file file = open_for_update(path);
//   if (lock_file(file) == file_lock::busy) ...    another run has it
//   if (!path_names(path, file)) ...               the name was taken meanwhile
//   file_holder holder = holder_of(path);          a game or an editor may have it
// Both answer; neither ends the run.
#pragma once

#include <string>

#include "checked_file.h"

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
