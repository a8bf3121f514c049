#include "run_files.h"

namespace {

[[noreturn]] void refuse_backup_in_use(const run_files& files)
{
    fatal_error("Cannot update %s: its backup %s is in use by another run", files.target_path.c_str(),
                files.backup_path.c_str());
}

// An earlier backup may be replaced only when no other run is using it: one
// that is rewriting from it, or has just made it.
void refuse_earlier_backup_in_use(const run_files& files)
{
    if (!path_exists(files.backup_path.c_str())) {
        return;
    }
    checked_file earlier = open_locked_backup(files);
    // Windows replaces a file only when no handle of this process is open on it.
    close_file(earlier);
}

// The path of `name` in the backup's folder, spelled as the backup's path spells it.
std::string path_beside(const std::string& backup_path, const std::string& name)
{
    return backup_path.substr(0, backup_path.size() - name_of(backup_path).size()) + name;
}

// Another archive whose backup has this name and that an interrupted update
// left marked: its original is in the backup, which must stay.
void refuse_backup_needed_elsewhere(const run_files& files)
{
    const std::string folder = folder_of(files.backup_path);
    const std::string backup_name = name_of(files.backup_path);
    for (const std::string& name : names_in_folder(folder)) {
        if (name == backup_name || backup_path_for(name) != backup_name) {
            continue;
        }
        const std::string sibling = path_beside(files.backup_path, name);
        checked_file archive{NO_FILE, sibling.c_str()};
        std::string reason;
        if (path_names(sibling.c_str(), files.target) || !try_open_for_read(sibling.c_str(), archive, reason)) {
            continue;
        }
        pak_header final_header{};
        const rewrite_stage stage = read_rewrite_stage(archive, final_header);
        close_file(archive);
        if (stage != rewrite_stage::none) {
            fatal_error("Cannot update %s: the interrupted update of %s still needs its original in %s; finish it "
                        "first by running tarnwick on %s",
                        files.target_path.c_str(), sibling.c_str(), files.backup_path.c_str(), sibling.c_str());
        }
    }
}

} // namespace

void open_target(run_files& files)
{
    files.target = open_for_update(files.target_path.c_str());
    if (lock_file(files.target) == file_lock::busy) {
        fatal_error("Cannot update %s: another run is updating it", files.target_path.c_str());
    }
}

void refuse_backup_leading_to_update(const run_files& files)
{
    // The backup would be read back as the update if update.pak were or
    // led to it. Asked of names: either may be a link to nothing yet.
    if (leads_to(files.backup_path.c_str(), UPDATE_ARCHIVE_NAME) ||
        leads_to(UPDATE_ARCHIVE_NAME, files.backup_path.c_str())) {
        fatal_error("Cannot back up %s: its backup %s is the same file as %s", files.target_path.c_str(),
                    files.backup_path.c_str(), UPDATE_ARCHIVE_NAME);
    }
}

void open_update(run_files& files)
{
    // A run started from a file manager may not stand in the archive's folder.
    if (!path_exists(UPDATE_ARCHIVE_NAME)) {
        print_error_text("tarnwick: %s is read from the current folder, %s\n", UPDATE_ARCHIVE_NAME,
                         folder_of_run().c_str());
    }
    files.update = open_for_read(UPDATE_ARCHIVE_NAME);
    // Rewriting the target would destroy update.pak if they were one file.
    // Checked before update.pak is locked: its lock would be the target's.
    if (same_open_file(files.target, files.update)) {
        fatal_error("Cannot update %s: it is the same file as %s", files.target_path.c_str(), UPDATE_ARCHIVE_NAME);
    }
    if (lock_file(files.update) == file_lock::busy) {
        fatal_error("Cannot update %s: %s is in use by another run", files.target_path.c_str(), UPDATE_ARCHIVE_NAME);
    }
    files.update_state = state_of(files.update);
}

checked_file open_locked_backup(const run_files& files)
{
    checked_file backup = open_for_read(files.backup_path.c_str());
    if (lock_file(backup) == file_lock::busy) {
        refuse_backup_in_use(files);
    }
    return backup;
}

void refuse_unusable_backup_name(const run_files& files)
{
    // Replacing the backup would destroy the very file being saved.
    if (path_names(files.backup_path.c_str(), files.target)) {
        fatal_error("Cannot back up %s: its backup %s is the same file", files.target_path.c_str(),
                    files.backup_path.c_str());
    }
    refuse_earlier_backup_in_use(files);
    if (path_exists(files.backup_path.c_str())) {
        refuse_backup_needed_elsewhere(files);
    }
}

void reserve_backup(const run_files& files, pending_file& backup)
{
    reserve_pending_file(backup, files.backup_path, backup_temp_path_for(files.backup_path));
    if (backup.file.handle == NO_FILE) {
        refuse_backup_in_use(files);
    }
    // Another run may have put its backup in place while this one made its
    // temporary file; from now on no other run can.
    refuse_earlier_backup_in_use(files);
}
