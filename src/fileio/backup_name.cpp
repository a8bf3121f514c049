// The last extension of a path, which the backup's name replaces.
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
