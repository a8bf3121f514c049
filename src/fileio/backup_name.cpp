// The backup's name: the target's path with its last extension replaced.
#include <cstddef>
#include <string>

#include "checked_io.h"

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
