// The last extension of a path, which the backup's name replaces.
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
