#include <cstddef>
#include <string>

#include "checked_io.h"

void drop_extension(std::string& path)
{
    auto i = static_cast<std::ptrdiff_t>(path.size()) - 1;
    while (i > 0 && path[static_cast<std::size_t>(i)] != '.') {
        --i;
        // The last byte is never tested for '/', so "dir/x.y/" loses ".y/".
        if (path[static_cast<std::size_t>(i)] == '/') {
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

std::string make_backup(const std::string& target_path)
{
    std::string backup_path = backup_path_for(target_path);
    checked_file target = open_for_read(target_path.c_str());
    // Opening the backup for writing would empty the very file being saved.
    if (same_file(target_path.c_str(), backup_path.c_str())) {
        fatal_error("Cannot back up %s: its backup %s is the same file", target_path.c_str(), backup_path.c_str());
    }
    const std::int32_t length = stream_length(target);
    checked_file backup = open_for_write(backup_path.c_str());
    begin_progress("Copying", target_path, backup_path, length);
    copy_bytes(target, backup, static_cast<std::uint32_t>(length));
    // The target may change only once its copy would survive a power cut.
    flush_to_disk(backup);
    end_progress();
    close_file(target);
    close_file(backup);
    flush_folder_of(backup_path.c_str());
    return backup_path;
}
