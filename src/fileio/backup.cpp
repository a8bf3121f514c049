// The backup: its name, and its making. A backup is written whole under a
// temporary name beside it and only then renamed over the earlier one, so a
// failed or killed run never leaves a backup cut short.
#include <cstddef>
#include <string>

#include "checked_io.h"
#include "file_system.h"

namespace {

bool ends_folder(const std::string& path, std::size_t i)
{
    const char c = path[i];
    if (c == '/') {
        return true;
    }
    // A drive letter's colon ends a folder part too: "c:pak0" backs up to "c:pak0.bak".
    const bool drive = i == 1 && ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'));
    return BACKSLASH_SEPARATES_FOLDERS && (c == '\\' || (c == ':' && drive));
}

[[noreturn]] void refuse_in_use(const char* target_path, const std::string& backup_path)
{
    fatal_error("Cannot update %s: its backup %s is in use by another run", target_path, backup_path.c_str());
}

} // namespace

checked_file open_locked_backup(const char* target_path, const std::string& backup_path)
{
    checked_file backup = open_for_read(backup_path.c_str());
    if (lock_file(backup) == file_lock::busy) {
        refuse_in_use(target_path, backup_path);
    }
    return backup;
}

namespace {

// An earlier backup may be replaced only when no other run is using it: one
// that is rewriting from it, or has just made it.
void refuse_backup_in_use(const char* target_path, const std::string& backup_path)
{
    if (!path_exists(backup_path.c_str())) {
        return;
    }
    checked_file earlier = open_locked_backup(target_path, backup_path);
    // Windows replaces a file only when no handle of this process is open on it.
    close_file(earlier);
}

// A temporary file that no run holds is what a killed run left: it is
// removed. True when the name is free again.
bool removed_leftover(const std::string& temp_path)
{
    checked_file leftover = open_for_read(temp_path.c_str());
    const bool ours = lock_file(leftover) == file_lock::held && output_is_file(leftover.stream, temp_path.c_str());
    if (ours) {
        (void)remove_file(temp_path.c_str());
    }
    close_file(leftover);
    return ours;
}

bool backup_matches(const checked_file& target, const checked_file& temp, std::uint32_t length)
{
    if (!CHECK_COPIES) {
        return true;
    }
    begin_progress("Checking", temp.path, "", length);
    return same_bytes_at(target, 0, temp, 0, length);
}

} // namespace

void drop_extension(std::string& path)
{
    auto i = static_cast<std::ptrdiff_t>(path.size()) - 1;
    while (i > 0 && path[static_cast<std::size_t>(i)] != '.') {
        --i;
        // The last byte is never tested for a separator, so "dir/x.y/" loses ".y/".
        if (ends_folder(path, static_cast<std::size_t>(i))) {
            return;
        }
    }
    if (i > 0) {
        path.resize(static_cast<std::size_t>(i));
    }
}

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

checked_file reserve_backup(const char* target_path, const std::string& backup_path, const std::string& temp_path)
{
    // Replacing the backup would destroy the very file being saved.
    if (same_file(target_path, backup_path.c_str())) {
        fatal_error("Cannot back up %s: its backup %s is the same file", target_path, backup_path.c_str());
    }
    refuse_backup_in_use(target_path, backup_path);
    // Failures writing the temporary file are the backup's, under its name.
    checked_file temp = create_new_file(temp_path.c_str(), backup_path.c_str());
    if (temp.stream == nullptr && removed_leftover(temp_path)) {
        temp = create_new_file(temp_path.c_str(), backup_path.c_str());
    }
    if (temp.stream == nullptr) {
        refuse_in_use(target_path, backup_path);
    }
    set_pending_file(temp_path.c_str());
    if (lock_file(temp) == file_lock::busy) {
        refuse_in_use(target_path, backup_path);
    }
    // Another run may have put its backup in place while this one made its
    // temporary file; from now on no other run can.
    refuse_backup_in_use(target_path, backup_path);
    return temp;
}

void fill_backup(const checked_file& target, const checked_file& temp, const std::string& temp_path)
{
    const auto length = static_cast<std::uint32_t>(stream_length(target));
    seek_to(target, 0);
    seek_to(temp, 0);
    begin_progress("Copying", target.path, temp.path, length);
    copy_bytes(target, temp, length);
    if (!backup_matches(target, temp, length)) {
        // Once more through the program's own buffer, then never again.
        seek_to(target, 0);
        seek_to(temp, 0);
        begin_progress("Copying", target.path, temp.path, length);
        copy_bytes_in_program(target, temp, length);
        if (!backup_matches(target, temp, length)) {
            copied_bytes_differ(temp);
        }
    }
    // The target may change only once its copy would survive a power cut.
    flush_to_disk(temp);
    end_progress();
    rename_file(temp_path.c_str(), temp.path);
    set_pending_file(nullptr);
    flush_folder_of(temp.path);
}
