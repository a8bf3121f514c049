// The files of one run: opened once, locked, and checked against each other
// on their open handles, so that what was checked is what is written.
#pragma once

#include <string>

#include "checked_io.h"
#include "pak_format.h"

struct run_files {
    std::string target_path;
    std::string backup_path;
    checked_file target;
    checked_file update;  // NO_FILE when the run has no update.pak to apply
    file_state update_state;  // update.pak as it was opened
};

// Opens and locks the target.
void open_target(run_files& files);
// Refuses a backup name that is, or leads to, update.pak, or the other way round.
void refuse_backup_leading_to_update(const run_files& files);
// Opens and locks update.pak; refuses it when it is the target.
void open_update(run_files& files);
// Opens the existing backup for reading, locked; refuses one another run holds.
checked_file open_locked_backup(const run_files& files);
// Refuses a backup that would be the target, a backup name another run is
// using, and an earlier backup that an interrupted update of another
// archive still needs as its original.
void refuse_unusable_backup_name(const run_files& files);
// Claims the backup name for this run before anything changes, once
// refuse_unusable_backup_name has let it.
void reserve_backup(const run_files& files, pending_file& backup);
