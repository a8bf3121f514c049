// The files of one run: opened once, locked, checked against each other on
// their open handles, and pinned as the run first read them, so that what
// was checked is what is written and a file changed or replaced by someone
// else during the run is caught before the step that would rely on it.
#pragma once

#include <string>

#include "journal.h"
#include "pak_format.h"
#include "refusals.h"

// The update a run applies, read from the current folder.
inline constexpr char UPDATE_ARCHIVE_NAME[] = "update.pak";

struct run_files {
    request_lead lead;  // what a refusal says cannot be done
    std::string target_path;
    std::string backup_path;
    checked_file target;
    checked_file update;  // NO_FILE when the run has no update.pak to apply
    checked_file backup;  // the existing backup a run finishes from, or NO_FILE
    file_state target_pin;  // the target as the plan read it
    file_state update_pin;  // update.pak as the plan read it
    file_state backup_pin;  // the backup the rewrite reads from, once it is that
    std::int32_t update_length;
    std::uint64_t update_fingerprint;  // of the whole of update.pak, taken at its first read
};

// Opens `path`, for reading or for update, and locks it; a file another
// run holds ends the run: "`cannot`: `subject` is in use by another run"
// (in_use_by_another_run; "" for the target itself).
enum class open_for {
    reading,
    update,
};
checked_file open_locked(const char* path, open_for how, const std::string& cannot, const std::string& subject);

// The run's files, none open yet.
run_files files_for(request_lead lead, const std::string& target_path, const std::string& backup_path);
// Opens, locks and pins the target.
void open_target(run_files& files);
// Opens, locks and pins update.pak, its bytes included; refuses it when it
// is the target.
void open_update(run_files& files);
// Pins the target again, after the run itself changed it.
void repin_target(run_files& files);

// Refuses to go on when the target's name no longer leads to the file
// opened, or when that file changed since it was pinned.
void refuse_changed_target(const run_files& files);
// True when the target's name still leads to the file the run rewrites.
bool target_keeps_its_name(const run_files& files);
// True when update.pak holds the bytes pinned: its status unchanged, or,
// where the status moved, its bytes.
bool update_as_pinned(const run_files& files);
// Refuses to go on when update_as_pinned is false.
void refuse_changed_update(const run_files& files);
// Pins `backup`, the backup the rewrite reads from, as it stands now.
void pin_backup(run_files& files, const checked_file& backup);
// After the new backup took its name, which moves only its change time:
// refuses to go on, the target as it was, when its name does not lead to
// the file pinned or that file changed since; pins it again.
void refuse_backup_changed_before_mark(run_files& files);
// True when the backup's name leads to the file pinned, as it was pinned.
bool backup_as_pinned(const run_files& files);
