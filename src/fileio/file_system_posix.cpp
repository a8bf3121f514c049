// The file operations' system calls on POSIX systems.
#include <cerrno>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "file_system.h"

namespace {

file_identity identity_from(const struct stat& info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

} // namespace

const bool BACKSLASH_SEPARATES_FOLDERS = false;

path_kind kind_of_path(const char* path)
{
    struct stat info {};
    if (stat(path, &info) != 0 || S_ISREG(info.st_mode)) {
        return path_kind::file_or_nothing;
    }
    return S_ISDIR(info.st_mode) ? path_kind::directory : path_kind::special;
}

std::FILE* open_path(const char* path, const char* mode)
{
    return std::fopen(path, mode);
}

std::FILE* create_new_path(const char* path)
{
    const int descriptor = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* stream = fdopen(descriptor, "w+b");
    if (stream == nullptr) {
        const int error = errno;
        (void)close(descriptor);
        (void)unlink(path);
        errno = error;
    }
    return stream;
}

bool opened_as_disk_file(std::FILE* /*stream*/)
{
    return true;
}

int seek_from_start(std::FILE* stream, std::int64_t offset)
{
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET);
}

int seek_to_end(std::FILE* stream)
{
    return fseeko(stream, 0, SEEK_END);
}

std::int64_t tell(std::FILE* stream)
{
    return static_cast<std::int64_t>(ftello(stream));
}

int truncate_stream(std::FILE* stream, std::int64_t length)
{
    return ftruncate(fileno(stream), static_cast<off_t>(length)) == 0 ? 0 : errno;
}

lock_outcome lock_stream(std::FILE* stream)
{
    int result = 0;
    do {
        result = flock(fileno(stream), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return lock_outcome::taken;
    }
    return errno == EWOULDBLOCK ? lock_outcome::busy : lock_outcome::refused;
}

int rename_path(const char* from, const char* to)
{
    return std::rename(from, to) == 0 ? 0 : errno;
}

int sync_folder(const char* folder)
{
    const int descriptor = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return 0;
    }
    const int result = fsync(descriptor);
    const int error = errno;
    (void)close(descriptor);
    // EINVAL: the file system keeps no folder flush of its own.
    return result == 0 || error == EINVAL ? 0 : error;
}

bool identity_of_path(const char* path, file_identity& identity)
{
    struct stat info {};
    if (stat(path, &info) != 0) {
        return false;
    }
    identity = identity_from(info);
    return true;
}

bool identity_of_stream(std::FILE* stream, file_identity& identity)
{
    struct stat info {};
    if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    identity = identity_from(info);
    return true;
}

link_state read_link(const char* path, std::string& target)
{
    struct stat info {};
    if (lstat(path, &info) != 0) {
        return errno == ENOENT ? link_state::nothing : link_state::not_link;
    }
    if (!S_ISLNK(info.st_mode)) {
        return link_state::not_link;
    }
    target.assign(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t length = readlink(path, target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        return link_state::not_link;
    }
    target.resize(static_cast<std::size_t>(length));
    return link_state::link;
}

bool anything_at(const char* path)
{
    struct stat info {};
    return stat(path, &info) == 0 || errno != ENOENT;
}

bool remove_path(const char* path)
{
    return std::remove(path) == 0;
}
