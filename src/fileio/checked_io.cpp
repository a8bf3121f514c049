#include "checked_io.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "file_system.h"

namespace {

// The description of errno, or a plain reason where the library set none.
const char* error_reason(int error, const char* fallback)
{
    return error != 0 ? std::strerror(error) : fallback;
}

constexpr char NOT_A_REGULAR_FILE[] = "not a regular file";

// Why an existing path cannot be opened as an archive, or nullptr. Only
// regular files are archives: a device would swallow a backup or read back
// as an empty archive. fopen on POSIX opens a directory for reading, and
// blocks on a named pipe until a writer comes, so all of them are refused
// before the open.
const char* unusable_file_reason(const char* path)
{
    switch (kind_of_path(path)) {
    case path_kind::directory:
        return std::strerror(EISDIR);
    case path_kind::special:
        return NOT_A_REGULAR_FILE;
    case path_kind::file_or_nothing:
        break;
    }
    return nullptr;
}

checked_file open_checked(const char* path, const char* mode)
{
    if (const char* reason = unusable_file_reason(path)) {
        fatal_error("Error opening %s: %s", path, reason);
    }
    errno = 0;
    std::FILE* stream = open_path(path, mode);
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

void copied_bytes_differ(const checked_file& file)
{
    fatal_error("Error writing %s: the file system returned other bytes than were copied", file.path);
}

checked_file open_for_read(const char* path)
{
    return open_checked(path, "rb");
}

checked_file open_for_write(const char* path)
{
    return open_checked(path, "wb");
}

checked_file create_new_file(const char* path, const char* shown_path)
{
    errno = 0;
    std::FILE* stream = create_new_path(path);
    if (stream == nullptr && errno != EEXIST) {
        fatal_error("Error opening %s: %s", shown_path, error_reason(errno, "cannot create file"));
    }
    return {stream, shown_path};
}

checked_file open_for_update(const char* path)
{
    return open_checked(path, "r+b");
}

file_lock lock_file(const checked_file& file)
{
    switch (lock_stream(file.stream)) {
    case lock_outcome::busy:
        return file_lock::busy;
    case lock_outcome::taken:
    case lock_outcome::refused:
        break;
    }
    return file_lock::held;
}

void rename_file(const char* from, const char* to)
{
    const int error = rename_path(from, to);
    if (error != 0) {
        fatal_error("Error writing %s: %s", to, std::strerror(error));
    }
}

void truncate_at(const checked_file& file, std::int64_t length)
{
    flush_buffer(file);
    const int error = truncate_stream(file.stream, length);
    if (error != 0) {
        write_failure(file, error);
    }
    seek_to(file, length);
}

void flush_to_disk(const checked_file& file)
{
    flush_buffer(file);
    const int error = sync_stream(file.stream);
    if (error != 0) {
        write_failure(file, error);
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

namespace {

constexpr std::uint32_t PROGRESS_PIECE_SIZE = 16U << 20U;

// Moves bytes between two regular files inside the kernel, without a user
// buffer. Returns how many of the `count` bytes are left to the portable loop:
// all of them when the system refuses the copy or the source does not hold
// them all (so that the loop fails at the same byte with the same message as
// ever), the rest when the system gives up part way.
std::uint32_t copy_in_kernel(const checked_file& from, const checked_file& to, std::uint32_t count)
{
    std::int64_t source_size = 0;
    if (!kernel_can_copy(from.stream, to.stream, source_size)) {
        return count;
    }
    // The kernel writes at the file's own offsets, so the destination's
    // buffered bytes must reach the file first.
    flush_buffer(to);
    std::int64_t source_offset = tell(from.stream);
    std::int64_t destination_offset = tell(to.stream);
    if (source_offset < 0 || destination_offset < 0 || static_cast<std::int64_t>(count) > source_size - source_offset) {
        return count;
    }
    // Whole, unless a progress line wants to hear between the pieces.
    const std::uint32_t piece = progress_wanted() ? PROGRESS_PIECE_SIZE : count;
    std::uint32_t left = count;
    while (left != 0) {
        const std::int64_t moved =
            kernel_copy(from.stream, source_offset, to.stream, destination_offset, left < piece ? left : piece);
        if (moved == 0) {
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

void copy_bytes(const checked_file& from, const checked_file& to, std::uint32_t count)
{
    if (count != 0) {
        count = copy_in_kernel(from, to, count);
    }
    copy_bytes_in_program(from, to, count);
}

void copy_bytes_in_program(const checked_file& from, const checked_file& to, std::uint32_t count)
{
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

namespace {

// Fixed, and never more: comparing a 2 GiB archive costs no more memory
// than comparing a small one.
constexpr std::uint32_t COMPARE_CHUNK_SIZE = 1U << 20U;
std::array<unsigned char, COMPARE_CHUNK_SIZE> first_chunk;
std::array<unsigned char, COMPARE_CHUNK_SIZE> second_chunk;

std::uint32_t next_chunk(std::uint32_t count)
{
    return count < COMPARE_CHUNK_SIZE ? count : COMPARE_CHUNK_SIZE;
}

void count_compared(std::uint32_t bytes)
{
    if (progress_wanted()) {
        count_progress(bytes);
    }
}

} // namespace

bool same_bytes_at(const checked_file& a, std::int64_t a_offset, const checked_file& b, std::int64_t b_offset,
                   std::uint32_t count)
{
    seek_to(a, a_offset);
    seek_to(b, b_offset);
    while (count != 0) {
        const std::uint32_t chunk = next_chunk(count);
        read_exact(a, first_chunk.data(), static_cast<std::int32_t>(chunk));
        read_exact(b, second_chunk.data(), static_cast<std::int32_t>(chunk));
        if (std::memcmp(first_chunk.data(), second_chunk.data(), chunk) != 0) {
            return false;
        }
        count -= chunk;
        count_compared(chunk);
    }
    return true;
}

bool same_bytes_as(const checked_file& file, std::int64_t offset, const void* bytes, std::uint32_t count)
{
    const auto* expected = static_cast<const unsigned char*>(bytes);
    seek_to(file, offset);
    while (count != 0) {
        const std::uint32_t chunk = next_chunk(count);
        read_exact(file, first_chunk.data(), static_cast<std::int32_t>(chunk));
        if (std::memcmp(first_chunk.data(), expected, chunk) != 0) {
            return false;
        }
        expected += chunk;
        count -= chunk;
        count_compared(chunk);
    }
    return true;
}
