#include "backup.h"
#include "exchange.h"
#include "file_locks.h"
#include "file_names.h"
#include "merge.h"
#include "open_file.h"
#include "pending_file.h"
#include "refusals.h"
#include "run_files.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

namespace {

[[noreturn]] void refuse_backup_in_use(request_lead lead, const std::string& target_path,
                                       const std::string& backup_path)
{
    refuse(lead, target_path.c_str(), "%s", in_use_by_another_run("its backup " + backup_path).c_str());
}

// An earlier backup may be replaced only when no other run is using it: one
// that is rewriting from it, or has just made it.
void refuse_earlier_backup_in_use(const std::string& target_path, const std::string& backup_path)
{
    if (!path_exists(backup_path.c_str())) {
        return;
    }
    checked_file earlier = open_locked_backup(request_lead::update, target_path, backup_path);
    // Windows replaces a file only when no handle of this process is open on it.
    close_file(earlier);
}

// The path of `name` in the backup's folder, spelled as the backup's path spells it.
std::string path_beside(const std::string& backup_path, const std::string& name)
{
    return backup_path.substr(0, backup_path.size() - name_of(backup_path).size()) + name;
}

// A sibling's lock is held by a run on it; taking it for an instant tells
// that run from a stopped one.
bool updated_by_another_run(const checked_file& sibling)
{
    return lock_file(sibling) == file_lock::busy;
}

// The archive at `sibling`, whose backup has this name too: left marked by
// an interrupted update, it still needs its original in the backup, which
// must stay. A name that leads to no regular file needs nothing; one whose
// file cannot be opened or read refuses, as nothing can be told of it.
void refuse_backup_needed_by(const std::string& target_path, const std::string& backup_path,
                             const std::string& sibling, const checked_file& target)
{
    if (!leads_to_regular_file(sibling.c_str()) || path_names(sibling.c_str(), target)) {
        return;
    }
    checked_file archive{NO_FILE, sibling.c_str()};
    std::string reason;
    if (!try_open_for_read(sibling.c_str(), archive, reason)) {
        refuse(request_lead::update, target_path.c_str(),
               "cannot tell whether %s still needs its original in %s: opening it failed: %s", sibling.c_str(),
               backup_path.c_str(), reason.c_str());
    }
    pak_header final_header{};
    const rewrite_stage stage = read_rewrite_stage(archive, final_header);
    const bool running = stage != rewrite_stage::none && updated_by_another_run(archive);
    close_file(archive);
    if (running) {
        refuse(request_lead::update, target_path.c_str(),
               "%s, whose original is in %s, is being updated by another run; run it again when that run ends",
               sibling.c_str(), backup_path.c_str());
    }
    if (stage != rewrite_stage::none) {
        refuse(request_lead::update, target_path.c_str(),
               "the interrupted update of %s still needs its original in %s; finish it first by running "
               "tarnwick on %s",
               sibling.c_str(), backup_path.c_str(), sibling.c_str());
    }
}

// Another archive whose backup has this name and that an update left
// marked; a folder that cannot be listed hides them all, and refuses.
void refuse_backup_needed_elsewhere(const std::string& target_path, const std::string& backup_path,
                                    const checked_file& target)
{
    const std::string backup_name = name_of(backup_path);
    std::vector<std::string> names;
    const int error = names_in_folder(folder_of(backup_path), names);
    if (error != 0) {
        refuse(request_lead::update, target_path.c_str(),
               "cannot tell whether another archive still needs its original in %s: listing the folder %s failed: "
               "%s",
               backup_path.c_str(), shown_folder_of(backup_path.c_str()).c_str(), std::strerror(error));
    }
    for (const std::string& name : names) {
        if (name != backup_name && backup_path_for(name) == backup_name) {
            refuse_backup_needed_by(target_path, backup_path, path_beside(backup_path, name), target);
        }
    }
}

} // namespace

std::string backup_path_for(const std::string& target_path)
{
    std::string backup_path = target_path;
    drop_extension(backup_path);
    backup_path += BACKUP_SUFFIX;
    return backup_path;
}

std::string backup_temp_path_for(const std::string& backup_path)
{
    return backup_path + BACKUP_TEMP_SUFFIX;
}

exchange_names undo_names_for(const std::string& target_path, const std::string& backup_path)
{
    return {target_path, backup_path, target_path + UNDO_TEMP_SUFFIX};
}

void drop_extension(std::string& path)
{
    auto i = static_cast<std::ptrdiff_t>(path.size()) - 1;
    while (i > 0 && path[static_cast<std::size_t>(i)] != '.') {
        --i;
        // The last byte is never tested for a separator, so "dir/x.y/" loses ".y/".
        if (ends_folder_part(path, static_cast<std::size_t>(i))) {
            return;
        }
    }
    if (i > 0) {
        path.resize(static_cast<std::size_t>(i));
    }
}

void refuse_backup_leading_to_update(const std::string& target_path, const std::string& backup_path)
{
    // The backup would be read back as the update if update.pak were or
    // led to it. Asked of names: either may be a link to nothing yet.
    if (leads_to(backup_path.c_str(), UPDATE_ARCHIVE_NAME) || leads_to(UPDATE_ARCHIVE_NAME, backup_path.c_str())) {
        refuse(request_lead::back_up, target_path.c_str(), "its backup %s is the same file as %s", backup_path.c_str(),
               UPDATE_ARCHIVE_NAME);
    }
}

void refuse_unusable_backup_name(const std::string& target_path, const std::string& backup_path,
                                 const checked_file& target)
{
    // Replacing the backup would destroy the very file being saved.
    if (path_names(backup_path.c_str(), target)) {
        refuse(request_lead::back_up, target_path.c_str(), "its backup %s is the same file", backup_path.c_str());
    }
    // An archive still needing the backup is named before the lock a run on
    // it holds is found: that run holds the backup's lock to its report.
    if (path_exists(backup_path.c_str())) {
        refuse_backup_needed_elsewhere(target_path, backup_path, target);
    }
    refuse_earlier_backup_in_use(target_path, backup_path);
}

void claim_backup(const std::string& target_path, const std::string& backup_path, pending_file& backup,
                  leftover found)
{
    const std::string temp_path = backup_temp_path_for(backup_path);
    switch (reserve_pending_file(backup, backup_path, temp_path, found)) {
    case reservation::made:
        break;
    case reservation::held:
        refuse_backup_in_use(request_lead::update, target_path, backup_path);
    case reservation::unremovable:
        refuse(request_lead::update, target_path.c_str(), "%s, left by an earlier run, cannot be removed: %s",
               temp_path.c_str(), backup.failure.c_str());
    }
    // Another run may have put its backup in place while this one made its
    // temporary file; from now on no other run can.
    refuse_earlier_backup_in_use(target_path, backup_path);
}

checked_file open_locked_backup(request_lead lead, const std::string& target_path, const std::string& backup_path)
{
    return open_locked(backup_path.c_str(), open_for::reading, refusal_lead(lead, target_path),
                       "its backup " + backup_path);
}

const char* backup_fault(const std::string& backup_path)
{
    if (!path_exists(backup_path.c_str())) {
        return "is missing";
    }
    checked_file backup = open_for_read(backup_path.c_str());
    const char* fault = original_fault(backup);
    close_file(backup);
    return fault;
}

void refuse_foreign_backup(request_lead lead, const std::string& target_path, const std::string& backup_path)
{
    refuse(lead, target_path.c_str(),
           "its backup %s is not the original that update saved; nothing was changed. Put that original back as %s "
           "and run again",
           backup_path.c_str(), backup_path.c_str());
}

void refuse_changed_backup(request_lead lead, const std::string& target_path, const std::string& backup_path)
{
    set_failure_notes(nullptr, nullptr);
    refuse(lead, target_path.c_str(),
           "its backup %s was changed by another program and no longer holds the original, which may now be on no "
           "disk; %s is half-written and not playable. Put a copy of the original back as %s, or reinstall the "
           "archive",
           backup_path.c_str(), target_path.c_str(), target_path.c_str());
}

backup_standing standing_of_backup(const pak_directory& complete, const std::string& target_path,
                                   const std::string& backup_path, checked_file& held)
{
    if (!path_exists(backup_path.c_str())) {
        return backup_standing::missing;
    }
    checked_file backup = open_locked_backup(request_lead::finish, target_path, backup_path);
    bool tied = false;
    if (original_fault(backup) == nullptr) {
        auto original = std::make_unique<pak_directory>();
        read_pak_directory(backup, MAX_PAK_ENTRIES, *original);
        tied = merged_from(complete, *original);
    }
    if (!tied) {
        close_file(backup);
        return backup_standing::other;
    }
    held = backup;
    return backup_standing::original;
}
