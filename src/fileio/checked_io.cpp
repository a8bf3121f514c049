#include "checked_io.h"

#include <array>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/types.h>
#endif
#ifdef __linux__
#include <unistd.h>
#endif

namespace {

// The description of errno, or a plain reason where the library set none.
const char* error_reason(int error, const char* fallback)
{
    return error != 0 ? std::strerror(error) : fallback;
}

int seek_from_start(std::FILE* stream, std::int64_t offset)
{
#ifdef _WIN32
    return _fseeki64(stream, offset, SEEK_SET);
#else
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET);
#endif
}

int seek_to_end(std::FILE* stream)
{
#ifdef _WIN32
    return _fseeki64(stream, 0, SEEK_END);
#else
    return fseeko(stream, 0, SEEK_END);
#endif
}

std::int64_t tell(std::FILE* stream)
{
#ifdef _WIN32
    return _ftelli64(stream);
#else
    return static_cast<std::int64_t>(ftello(stream));
#endif
}

// Why an existing path cannot be opened as a file, or nullptr. fopen on POSIX
// opens a directory for reading, and blocks on a named pipe until a writer
// comes, so both are refused before the open.
const char* unusable_file_reason(const char* path)
{
#ifdef _WIN32
    (void)path;
    return nullptr;
#else
    struct stat info {};
    if (stat(path, &info) != 0) {
        return nullptr;
    }
    if (S_ISDIR(info.st_mode)) {
        return std::strerror(EISDIR);
    }
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
        return "not a regular file";
    }
    return nullptr;
#endif
}

checked_file open_checked(const char* path, const char* mode)
{
    if (const char* reason = unusable_file_reason(path)) {
        fatal_error("Error opening %s: %s", path, reason);
    }
    errno = 0;
    std::FILE* stream = std::fopen(path, mode);
    if (stream == nullptr) {
        fatal_error("Error opening %s: %s", path, error_reason(errno, "cannot open file"));
    }
    return {stream, path};
}

[[noreturn]] void write_failure(const checked_file& file, int error)
{
    fatal_error("Error writing %s: %s", file.path, error_reason(error, "the file was not completely written"));
}

} // namespace

checked_file open_for_read(const char* path)
{
    return open_checked(path, "rb");
}

checked_file open_for_write(const char* path)
{
    return open_checked(path, "wb");
}

checked_file open_for_update(const char* path)
{
    return open_checked(path, "r+b");
}

void reopen_truncated(checked_file& file)
{
    errno = 0;
    file.stream = std::freopen(file.path, "wb", file.stream);
    if (file.stream == nullptr) {
        fatal_error("Error opening %s: %s", file.path, error_reason(errno, "cannot open file"));
    }
}

void close_file(checked_file& file)
{
    errno = 0;
    const int result = std::fclose(file.stream);
    file.stream = nullptr;
    if (result != 0) {
        write_failure(file, errno);
    }
}

void read_exact(const checked_file& file, void* buffer, std::int32_t count)
{
    const auto size = static_cast<std::size_t>(count);
    if (std::fread(buffer, 1, size, file.stream) != size) {
        fatal_error("File read failure");
    }
}

void write_exact(const checked_file& file, const void* buffer, std::int32_t count)
{
    const auto size = static_cast<std::size_t>(count);
    errno = 0;
    if (std::fwrite(buffer, 1, size, file.stream) != size) {
        write_failure(file, errno);
    }
}

void seek_to(const checked_file& file, std::int64_t offset)
{
    errno = 0;
    if (offset < 0 || offset > MAX_FILE_SIZE || seek_from_start(file.stream, offset) != 0) {
        fatal_error("Error seeking to offset %lld in %s: %s", static_cast<long long>(offset), file.path,
                    error_reason(errno, "outside the file"));
    }
}

std::int64_t tell_position(const checked_file& file)
{
    errno = 0;
    const std::int64_t position = tell(file.stream);
    if (position < 0) {
        fatal_error("Error reading the position in %s: %s", file.path, error_reason(errno, "unknown position"));
    }
    return position;
}

std::int32_t stream_length(const checked_file& file)
{
    const std::int64_t position = tell_position(file);
    errno = 0;
    if (seek_to_end(file.stream) != 0) {
        fatal_error("Error seeking to the end of %s: %s", file.path, error_reason(errno, "cannot seek"));
    }
    const std::int64_t length = tell_position(file);
    if (length > MAX_FILE_SIZE) {
        fatal_error("File %s is too large: %lld bytes, more than the %lld a pak file can address",
                    file.path, static_cast<long long>(length), static_cast<long long>(MAX_FILE_SIZE));
    }
    seek_to(file, position);
    return static_cast<std::int32_t>(length);
}

#ifdef __linux__

namespace {

// Moves bytes between two regular files inside the kernel, without a user
// buffer. Returns how many of the `count` bytes are left to the portable loop:
// all of them when the system refuses the copy or the source does not hold
// them all (so that the loop fails at the same byte with the same message as
// ever), the rest when the system gives up part way.
std::uint32_t copy_in_kernel(const checked_file& from, const checked_file& to, std::uint32_t count)
{
    const int source = fileno(from.stream);
    const int destination = fileno(to.stream);
    struct stat source_info {};
    struct stat destination_info {};
    if (source < 0 || destination < 0 || fstat(source, &source_info) != 0 ||
        fstat(destination, &destination_info) != 0 || !S_ISREG(source_info.st_mode) ||
        !S_ISREG(destination_info.st_mode)) {
        return count;
    }
    // The kernel writes at the file's own offsets, so the destination's
    // buffered bytes must reach the file first.
    errno = 0;
    if (std::fflush(to.stream) != 0) {
        write_failure(to, errno);
    }
    off64_t source_offset = tell(from.stream);
    off64_t destination_offset = tell(to.stream);
    if (source_offset < 0 || destination_offset < 0 ||
        static_cast<std::int64_t>(count) > source_info.st_size - source_offset) {
        return count;
    }
    std::uint32_t left = count;
    while (left != 0) {
        const ssize_t moved = copy_file_range(source, &source_offset, destination, &destination_offset, left, 0);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved <= 0) {
            break;
        }
        left -= static_cast<std::uint32_t>(moved);
    }
    // The explicit offsets left both descriptors alone; seeking the streams
    // moves them and drops whatever the source stream had buffered.
    seek_to(from, source_offset);
    seek_to(to, destination_offset);
    return left;
}

} // namespace

#endif

void copy_bytes(const checked_file& from, const checked_file& to, std::uint32_t count)
{
#ifdef __linux__
    if (count != 0) {
        count = copy_in_kernel(from, to, count);
    }
#endif
    std::array<unsigned char, COPY_CHUNK_SIZE> buffer;
    while (count != 0) {
        const std::uint32_t chunk = count < COPY_CHUNK_SIZE ? count : COPY_CHUNK_SIZE;
        read_exact(from, buffer.data(), static_cast<std::int32_t>(chunk));
        write_exact(to, buffer.data(), static_cast<std::int32_t>(chunk));
        count -= chunk;
    }
}

#ifdef _WIN32

namespace {

bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION& info)
{
    // Backup semantics let the handle open directories too; no access right
    // is needed to read a file's identity.
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const BOOL ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    return ok != 0;
}

} // namespace

bool same_file(const char* path_a, const char* path_b)
{
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return file_identity(path_a, a) && file_identity(path_b, b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

#else

bool same_file(const char* path_a, const char* path_b)
{
    struct stat a {};
    struct stat b {};
    return stat(path_a, &a) == 0 && stat(path_b, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#endif
