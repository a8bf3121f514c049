#include "run_files.h"

#include "copies.h"
#include "file_locks.h"
#include "file_names.h"
#include "open_file.h"
#include "refusals.h"

run_files files_for(request_lead lead, const std::string& target_path, const std::string& backup_path)
{
    return {lead, target_path, backup_path, {NO_FILE, nullptr}, {NO_FILE, UPDATE_ARCHIVE_NAME},
            {NO_FILE, nullptr}, {}, {}, {}, 0, 0};
}

checked_file open_locked(const char* path, open_for how, const std::string& cannot, const std::string& subject)
{
    checked_file file = how == open_for::update ? open_for_update(path) : open_for_read(path);
    if (lock_file(file) == file_lock::busy) {
        fatal_error("%s: %s", cannot.c_str(), in_use_by_another_run(subject).c_str());
    }
    return file;
}

void open_target(run_files& files)
{
    files.target =
        open_locked(files.target_path.c_str(), open_for::update, refusal_lead(files.lead, files.target_path), "");
    files.target_pin = state_of(files.target);
}

void open_update(run_files& files)
{
    // A run started from a file manager may not stand in the archive's folder.
    if (!path_exists(UPDATE_ARCHIVE_NAME)) {
        print_note("%s is read from the current folder, %s", UPDATE_ARCHIVE_NAME, folder_of_run().c_str());
    }
    files.update = open_for_read(UPDATE_ARCHIVE_NAME);
    // Rewriting the target would destroy update.pak if they were one file.
    // Checked before update.pak is locked: its lock would be the target's.
    if (same_open_file(files.target, files.update)) {
        refuse(files.lead, files.target_path.c_str(), "it is the same file as %s", UPDATE_ARCHIVE_NAME);
    }
    if (lock_file(files.update) == file_lock::busy) {
        refuse(files.lead, files.target_path.c_str(), "%s", in_use_by_another_run(UPDATE_ARCHIVE_NAME).c_str());
    }
    files.update_pin = state_of(files.update);
    files.update_length = archive_length(files.update);
    files.update_fingerprint = fingerprint_of(files.update, 0, files.update_length);
}

void repin_target(run_files& files)
{
    files.target_pin = state_of(files.target);
}

bool target_keeps_its_name(const run_files& files)
{
    return path_names(files.target_path.c_str(), files.target);
}

void refuse_changed_target(const run_files& files)
{
    if (!target_keeps_its_name(files)) {
        refuse(files.lead, files.target_path.c_str(), "another file took its name during the run");
    }
    if (!same_state(state_of(files.target), files.target_pin)) {
        refuse(files.lead, files.target_path.c_str(), "it changed during the run");
    }
}

bool update_as_pinned(const run_files& files)
{
    if (same_state(state_of(files.update), files.update_pin)) {
        return true;
    }
    const std::int64_t length = file_length(files.update);
    return length == files.update_length && fingerprint_of(files.update, 0, length) == files.update_fingerprint;
}

void refuse_changed_update(const run_files& files)
{
    if (!update_as_pinned(files)) {
        refuse(files.lead, files.target_path.c_str(), "%s changed during the run", UPDATE_ARCHIVE_NAME);
    }
}

namespace {

// The status of the file `path` leads to, taken through a handle of its
// own: wine reports no volume for a file renamed while open, as the new
// backup is, so its handle cannot be compared with the name's.
bool state_by_name(const std::string& path, file_state& state)
{
    checked_file named{NO_FILE, path.c_str()};
    std::string reason;
    if (!try_open_for_read(path.c_str(), named, reason)) {
        return false;
    }
    state = state_of(named);
    close_file(named);
    return true;
}

} // namespace

void pin_backup(run_files& files, const checked_file& backup)
{
    files.backup_pin = state_of(backup);
}

void refuse_backup_changed_before_mark(run_files& files)
{
    file_state now{};
    if (!state_by_name(files.backup_path, now) || !same_state_but_change_time(now, files.backup_pin)) {
        refuse(files.lead, files.target_path.c_str(), "its backup %s changed during the run",
               files.backup_path.c_str());
    }
    files.backup_pin = now;
}

bool backup_as_pinned(const run_files& files)
{
    file_state now{};
    return state_by_name(files.backup_path, now) && same_state(now, files.backup_pin);
}
