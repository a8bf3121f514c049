// A file's open, read, write and flush, checked: a failure ends the run.
#include "open_file.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "file_locks.h"
#include "file_names.h"
#include "file_system.h"

namespace {

// The description of errno, or a plain reason where the library set none.
const char* error_reason(int error, const char* fallback)
{
    return error != 0 ? error_text(error) : fallback;
}

constexpr char NOT_A_REGULAR_FILE[] = "not a regular file";

// Why an existing path cannot be opened as an archive, or nullptr. Only
// regular files are archives: a device would swallow a backup or read back
// as an empty archive. A directory would open for reading, and a named pipe
// blocks the open until a writer comes, so all of them are refused first.
const char* unusable_file_reason(const char* path)
{
    switch (kind_of_path(path)) {
    case path_kind::directory:
        return error_text(EISDIR);
    case path_kind::special:
        return NOT_A_REGULAR_FILE;
    case path_kind::file_or_nothing:
        break;
    }
    return nullptr;
}

bool try_open(const char* path, open_mode mode, checked_file& file, std::string& reason)
{
    if (const char* unusable = unusable_file_reason(path)) {
        reason = unusable;
        return false;
    }
    int error = 0;
    const native_handle handle = open_native(path, mode, error);
    if (handle == NO_NATIVE_HANDLE) {
        reason = error_reason(error, "cannot open file");
        return false;
    }
    if (!is_disk_file(handle)) {
        (void)close_native(handle);
        reason = NOT_A_REGULAR_FILE;
        return false;
    }
    file = {handle, path};
    return true;
}

checked_file open_checked(const char* path, open_mode mode)
{
    checked_file file{NO_FILE, path};
    std::string reason;
    if (!try_open(path, mode, file, reason)) {
        fatal_error("Error opening %s: %s", path, reason.c_str());
    }
    return file;
}

[[noreturn]] void write_failure(const checked_file& file, int error)
{
    fatal_error("Error writing %s: %s", file.path, error_reason(error, "the file was not completely written"));
}

} // namespace

bool leads_to_regular_file(const char* path)
{
    return path_exists(path) && unusable_file_reason(path) == nullptr;
}

checked_file open_for_read(const char* path)
{
    return open_checked(path, open_mode::read);
}

checked_file open_for_update(const char* path)
{
    return open_checked(path, open_mode::read_write);
}

bool try_open_for_read(const char* path, checked_file& file, std::string& reason)
{
    return try_open(path, open_mode::read, file, reason);
}

checked_file create_new_file(const char* path, const char* shown_path)
{
    int error = 0;
    const native_handle handle = open_native(path, open_mode::create_new, error);
    if (handle == NO_NATIVE_HANDLE && error != EEXIST) {
        if (refused_by_folder(error)) {
            set_failure_detail(std::string(shown_path) + " cannot be made: its folder " + shown_folder_of(path) +
                               " refuses new files");
        }
        fatal_error("Error opening %s: %s", shown_path, error_reason(error, "cannot create file"));
    }
    return {handle, shown_path};
}

void close_file(checked_file& file)
{
    const int error = close_native(file.handle);
    file.handle = NO_FILE;
    if (error != 0) {
        write_failure(file, error);
    }
}

file_lock lock_file(const checked_file& file)
{
    return lock_native(file.handle) == lock_outcome::busy ? file_lock::busy : file_lock::held;
}

file_holder holder_of(const char* path)
{
    const holders_found found = holders_of(path);
    file_holder holder{holder_kind::nobody, "", found.unseen};
    for (const std::string& program : found.programs) {
        // The name Linux gives every run of this tool.
        if (program != "tarnwick") {
            return {holder_kind::program, program, found.unseen};
        }
        holder.kind = holder_kind::tarnwick;
    }
    return holder;
}

std::int32_t try_read_up_to(const checked_file& file, std::int64_t offset, void* buffer, std::int32_t count,
                            int& error)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::int32_t done = 0;
    while (done < count) {
        const std::int64_t moved =
            read_native(file.handle, bytes + done, static_cast<std::uint32_t>(count - done), offset + done, error);
        if (moved < 0) {
            return -1;
        }
        if (moved == 0) {
            break;
        }
        done += static_cast<std::int32_t>(moved);
    }
    return done;
}

void read_failure(const checked_file& file, int error)
{
    fatal_error("Error reading %s: %s", file.path, error_reason(error, "cannot read"));
}

std::int32_t read_up_to(const checked_file& file, std::int64_t offset, void* buffer, std::int32_t count)
{
    int error = 0;
    const std::int32_t done = try_read_up_to(file, offset, buffer, count, error);
    if (done < 0) {
        read_failure(file, error);
    }
    return done;
}

void read_exact(const checked_file& file, std::int64_t offset, void* buffer, std::int32_t count)
{
    if (read_up_to(file, offset, buffer, count) != count) {
        fail_short_file(file.path, file_length(file), "but it is read up to byte " + std::to_string(offset + count));
    }
}

void write_exact(const checked_file& file, std::int64_t offset, const void* buffer, std::int32_t count)
{
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::int32_t done = 0;
    while (done < count) {
        int error = 0;
        const std::int64_t moved =
            write_native(file.handle, bytes + done, static_cast<std::uint32_t>(count - done), offset + done, error);
        if (moved <= 0) {
            write_failure(file, moved < 0 ? error : 0);
        }
        done += static_cast<std::int32_t>(moved);
    }
}

std::int64_t file_length(const checked_file& file)
{
    return state_of(file).size;
}

void truncate_at(const checked_file& file, std::int64_t length)
{
    const int error = truncate_native(file.handle, length);
    if (error != 0) {
        write_failure(file, error);
    }
}

void flush_to_disk(const checked_file& file)
{
    const int error = sync_native(file.handle);
    if (error != 0) {
        write_failure(file, error);
    }
}

void flush_beside(const checked_file& file, void (*work)(void*), void* context)
{
    start_side_work(work, context);
    const int error = sync_native(file.handle);
    finish_side_work();
    if (error != 0) {
        write_failure(file, error);
    }
}

void fail_short_file(const char* path, std::int64_t length, const std::string& lacking)
{
    set_failure_detail(std::string(path) + " is " + std::to_string(length) + " bytes, " + lacking);
    fatal_error("File read failure");
}
