// The file operations' Linux-only system calls: the data flush and the
// early start of writing out, what the page cache holds and the hint to read
// ahead, the copy inside the kernel, the exchange of two names and the
// rename that never replaces, the flush of a whole volume, and the file
// attributes that keep a name.
#include <array>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_system.h"

int sync_native(native_handle file)
{
    // The length of the file is part of what fdatasync keeps.
    return fdatasync(static_cast<int>(file)) == 0 ? 0 : errno;
}

void start_writing_out(native_handle file, std::int64_t offset, std::int64_t length)
{
    // Without SYNC_FILE_RANGE_WAIT_* it neither waits nor reports a failed
    // write, which the flush reports instead.
    (void)sync_file_range(static_cast<int>(file), offset, length, SYNC_FILE_RANGE_WRITE);
}

namespace {

// mincore answers for a mapping: the file is mapped this many pages at a
// time, so that one fixed table holds the answer for any length.
constexpr std::size_t PAGES_PER_LOOK = 4096;
std::array<unsigned char, PAGES_PER_LOOK> resident;

// Pages of one mapping of at most PAGES_PER_LOOK pages at the page-aligned
// `offset`, or -1.
std::int64_t pages_in_memory(int file, std::int64_t offset, std::size_t length, std::size_t page)
{
    void* view = mmap(nullptr, length, PROT_READ, MAP_SHARED, file, static_cast<off_t>(offset));
    if (view == MAP_FAILED) {
        return -1;
    }
    const std::size_t pages = (length + page - 1) / page;
    std::int64_t found = -1;
    if (mincore(view, length, resident.data()) == 0) {
        found = 0;
        for (std::size_t i = 0; i < pages; ++i) {
            found += resident[i] & 1U;
        }
    }
    (void)munmap(view, length);
    return found;
}

} // namespace

std::int64_t bytes_in_memory(native_handle file, std::int64_t offset, std::int64_t length)
{
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || offset < 0 || length < 0) {
        return -1;
    }
    const auto page_bytes = static_cast<std::int64_t>(page);
    std::int64_t found = 0;
    for (std::int64_t at = offset / page_bytes * page_bytes; at < offset + length;) {
        const std::int64_t left = offset + length - at;
        const std::int64_t most = page_bytes * static_cast<std::int64_t>(PAGES_PER_LOOK);
        const std::int64_t look = left < most ? left : most;
        const std::int64_t pages =
            pages_in_memory(static_cast<int>(file), at, static_cast<std::size_t>(look), static_cast<std::size_t>(page));
        if (pages < 0) {
            return -1;
        }
        found += pages * page_bytes;
        at += look;
    }
    return found;
}

void expect_reading_in_order(native_handle file, std::int64_t offset, std::int64_t length)
{
    (void)posix_fadvise(static_cast<int>(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                        POSIX_FADV_SEQUENTIAL);
}

std::int64_t kernel_copy(native_handle from, std::int64_t from_offset, native_handle to, std::int64_t to_offset,
                         std::uint32_t count)
{
    off64_t source_offset = from_offset;
    off64_t destination_offset = to_offset;
    ssize_t moved = 0;
    do {
        moved = copy_file_range(static_cast<int>(from), &source_offset, static_cast<int>(to), &destination_offset,
                                count, 0);
    } while (moved < 0 && errno == EINTR);
    return moved > 0 ? static_cast<std::int64_t>(moved) : 0;
}

int exchange_paths(const char* a, const char* b)
{
    if (renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) == 0) {
        return 0;
    }
    // EINVAL: a file system without the exchange; ENOSYS: a kernel without it.
    return errno == EINVAL || errno == ENOSYS ? ENOTSUP : errno;
}

int rename_path_no_replace(const char* from, const char* to)
{
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    // As for the exchange. link() and unlink() would leave two names on one
    // file at a crash, which no later run could tell from an exchange done.
    return errno == EINVAL || errno == ENOSYS ? ENOTSUP : errno;
}

int sync_volume(native_handle file)
{
    return syncfs(static_cast<int>(file)) == 0 ? 0 : errno;
}

namespace {

// An immutable or append-only file keeps its name even from root. A file
// system without these attributes answers that it has none.
removal_outlook outlook_of_attributes(int descriptor, int& error)
{
    int flags = 0;
    if (ioctl(descriptor, FS_IOC_GETFLAGS, &flags) != 0) {
        return errno == ENOTTY || errno == ENOTSUP || errno == EINVAL ? removal_outlook::allowed
                                                                       : removal_outlook::unknown;
    }
    if ((static_cast<unsigned>(flags) & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
        error = EPERM;
        return removal_outlook::refused;
    }
    return removal_outlook::allowed;
}

} // namespace

removal_outlook outlook_of_removal(const char* folder, native_handle file, int& error)
{
    const int descriptor = static_cast<int>(file);
    struct stat folder_info {};
    struct stat file_info {};
    if (stat(folder, &folder_info) != 0 || fstat(descriptor, &file_info) != 0) {
        return removal_outlook::unknown;
    }
    if (faccessat(AT_FDCWD, folder, W_OK | X_OK, AT_EACCESS) != 0) {
        error = errno;
        return error == EACCES || error == EROFS ? removal_outlook::refused : removal_outlook::unknown;
    }
    // The sticky bit leaves a name to the file's owner and the folder's.
    const uid_t user = geteuid();
    if ((folder_info.st_mode & S_ISVTX) != 0 && user != 0 && user != folder_info.st_uid && user != file_info.st_uid) {
        error = EPERM;
        return removal_outlook::refused;
    }
    return outlook_of_attributes(descriptor, error);
}
