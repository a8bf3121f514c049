#include "checked_io.h"
#include "progress.h"

#include <array>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "utf16.h"
#else
#include <sys/stat.h>
#include <sys/types.h>
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

constexpr char NOT_A_REGULAR_FILE[] = "not a regular file";

// Why an existing path cannot be opened as an archive, or nullptr. Only
// regular files are archives: a device would swallow a backup or read back
// as an empty archive. fopen on POSIX opens a directory for reading, and
// blocks on a named pipe until a writer comes, so all of them are refused
// before the open.
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
    return S_ISREG(info.st_mode) ? nullptr : NOT_A_REGULAR_FILE;
#endif
}

// Windows names devices such as NUL in every folder, so only the opened
// handle can tell a disk file from one.
bool opened_as_disk_file(std::FILE* stream)
{
#ifdef _WIN32
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return GetFileType(handle) == FILE_TYPE_DISK;
#else
    (void)stream;
    return true;
#endif
}

std::FILE* open_stream(const char* path, const char* mode)
{
#ifdef _WIN32
    const std::wstring wide_mode(mode, mode + std::strlen(mode));
    return _wfopen(native_path(path).c_str(), wide_mode.c_str());
#else
    return std::fopen(path, mode);
#endif
}

checked_file open_checked(const char* path, const char* mode)
{
    if (const char* reason = unusable_file_reason(path)) {
        fatal_error("Error opening %s: %s", path, reason);
    }
    errno = 0;
    std::FILE* stream = open_stream(path, mode);
    if (stream == nullptr) {
        fatal_error("Error opening %s: %s", path, error_reason(errno, "cannot open file"));
    }
    if (!opened_as_disk_file(stream)) {
        (void)std::fclose(stream);
        fatal_error("Error opening %s: %s", path, NOT_A_REGULAR_FILE);
    }
    return {stream, path};
}

[[noreturn]] void write_failure(const checked_file& file, int error)
{
    fatal_error("Error writing %s: %s", file.path, error_reason(error, "the file was not completely written"));
}

// Hands the bytes the stream still buffers to the system.
void flush_buffer(const checked_file& file)
{
    errno = 0;
    if (std::fflush(file.stream) != 0) {
        write_failure(file, errno);
    }
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

void truncate_at(const checked_file& file, std::int64_t length)
{
    flush_buffer(file);
#ifdef _WIN32
    const int result = _chsize_s(_fileno(file.stream), length);
#else
    const int result = ftruncate(fileno(file.stream), static_cast<off_t>(length));
#endif
    if (result != 0) {
        write_failure(file, errno);
    }
    seek_to(file, length);
}

void flush_to_disk(const checked_file& file)
{
    flush_buffer(file);
#ifdef _WIN32
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.stream)));
    if (FlushFileBuffers(handle) == 0) {
        write_failure(file, GetLastError() == ERROR_DISK_FULL ? ENOSPC : EIO);
    }
#else
#ifdef __linux__
    // The length of the file is part of what fdatasync keeps.
    const int result = fdatasync(fileno(file.stream));
#else
    const int result = fsync(fileno(file.stream));
#endif
    if (result != 0) {
        write_failure(file, errno);
    }
#endif
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

std::int32_t read_up_to(const checked_file& file, void* buffer, std::int32_t count)
{
    return static_cast<std::int32_t>(std::fread(buffer, 1, static_cast<std::size_t>(count), file.stream));
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

constexpr std::uint32_t PROGRESS_PIECE_SIZE = 16U << 20U;

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
    flush_buffer(to);
    off64_t source_offset = tell(from.stream);
    off64_t destination_offset = tell(to.stream);
    if (source_offset < 0 || destination_offset < 0 ||
        static_cast<std::int64_t>(count) > source_info.st_size - source_offset) {
        return count;
    }
    // Whole, unless a progress line wants to hear between the pieces.
    const std::uint32_t piece = progress_wanted() ? PROGRESS_PIECE_SIZE : count;
    std::uint32_t left = count;
    while (left != 0) {
        const ssize_t moved = copy_file_range(source, &source_offset, destination, &destination_offset,
                                              left < piece ? left : piece, 0);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved <= 0) {
            break;
        }
        left -= static_cast<std::uint32_t>(moved);
        if (progress_wanted()) {
            count_progress(moved);
        }
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
        if (progress_wanted()) {
            count_progress(chunk);
        }
    }
}
