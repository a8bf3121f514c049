// The file operations' Linux-only system calls: the data flush and the copy
// inside the kernel.
#include <cerrno>
#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

#include "file_system.h"

int sync_stream(std::FILE* stream)
{
    // The length of the file is part of what fdatasync keeps.
    return fdatasync(fileno(stream)) == 0 ? 0 : errno;
}

bool kernel_can_copy(std::FILE* from, std::FILE* to, std::int64_t& source_size)
{
    const int source = fileno(from);
    const int destination = fileno(to);
    struct stat source_info {};
    struct stat destination_info {};
    if (source < 0 || destination < 0 || fstat(source, &source_info) != 0 ||
        fstat(destination, &destination_info) != 0 || !S_ISREG(source_info.st_mode) ||
        !S_ISREG(destination_info.st_mode)) {
        return false;
    }
    source_size = static_cast<std::int64_t>(source_info.st_size);
    return true;
}

std::int64_t kernel_copy(std::FILE* from, std::int64_t& from_offset, std::FILE* to, std::int64_t& to_offset,
                         std::uint32_t count)
{
    off64_t source_offset = from_offset;
    off64_t destination_offset = to_offset;
    ssize_t moved = 0;
    do {
        moved = copy_file_range(fileno(from), &source_offset, fileno(to), &destination_offset, count, 0);
    } while (moved < 0 && errno == EINTR);
    from_offset = source_offset;
    to_offset = destination_offset;
    return moved > 0 ? static_cast<std::int64_t>(moved) : 0;
}
