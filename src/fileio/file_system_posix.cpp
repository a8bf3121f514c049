// The file operations' system calls on POSIX systems.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "file_system.h"

namespace {

file_identity identity_from(const struct stat& info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino), 0};
}

std::int64_t nanoseconds(const timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + static_cast<std::int64_t>(time.tv_nsec);
}

int descriptor_of(native_handle file)
{
    return static_cast<int>(file);
}

// Nothing at the name: no file, or a folder on the way missing or no folder.
int looked_up(int result)
{
    if (result == 0) {
        return 0;
    }
    return errno == ENOTDIR ? ENOENT : errno;
}

// Makes the transfer again while a signal interrupts it before any byte moved.
template <typename transfer>
std::int64_t moved_or_error(transfer call, int& error)
{
    ssize_t moved = 0;
    do {
        moved = call();
    } while (moved < 0 && errno == EINTR);
    error = moved < 0 ? errno : 0;
    return moved;
}

} // namespace

const bool BACKSLASH_SEPARATES_FOLDERS = false;

const char* error_text(int error)
{
    return std::strerror(error);
}

int error_from_system(unsigned long code)
{
    return static_cast<int>(code);
}

path_kind kind_of_path(const char* path)
{
    struct stat info {};
    if (stat(path, &info) != 0 || S_ISREG(info.st_mode)) {
        return path_kind::file_or_nothing;
    }
    return S_ISDIR(info.st_mode) ? path_kind::directory : path_kind::special;
}

native_handle open_native(const char* path, open_mode mode, int& error)
{
    int flags = O_RDONLY | O_CLOEXEC;
    if (mode == open_mode::read_write) {
        flags = O_RDWR | O_CLOEXEC;
    } else if (mode == open_mode::create_new) {
        flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    }
    int descriptor = -1;
    do {
        descriptor = open(path, flags, 0666);
    } while (descriptor < 0 && errno == EINTR);
    error = descriptor < 0 ? errno : 0;
    return descriptor;
}

bool is_disk_file(native_handle /*file*/)
{
    return true;
}

int close_native(native_handle file)
{
    // Retrying after EINTR could close a descriptor another open just took.
    return close(descriptor_of(file)) == 0 || errno == EINTR ? 0 : errno;
}

std::int64_t read_native(native_handle file, void* buffer, std::uint32_t count, std::int64_t offset, int& error)
{
    return moved_or_error(
        [&] { return pread(descriptor_of(file), buffer, count, static_cast<off_t>(offset)); }, error);
}

std::int64_t write_native(native_handle file, const void* buffer, std::uint32_t count, std::int64_t offset,
                          int& error)
{
    return moved_or_error(
        [&] { return pwrite(descriptor_of(file), buffer, count, static_cast<off_t>(offset)); }, error);
}

bool status_of_native(native_handle file, file_status& status)
{
    struct stat info {};
    if (fstat(descriptor_of(file), &info) != 0) {
        return false;
    }
    status.identity = identity_from(info);
    status.size = static_cast<std::int64_t>(info.st_size);
    status.modified = nanoseconds(info.st_mtim);
    status.changed = nanoseconds(info.st_ctim);
    status.regular = S_ISREG(info.st_mode);
    return true;
}

int truncate_native(native_handle file, std::int64_t length)
{
    return ftruncate(descriptor_of(file), static_cast<off_t>(length)) == 0 ? 0 : errno;
}

lock_outcome lock_native(native_handle file)
{
    int result = 0;
    do {
        result = flock(descriptor_of(file), LOCK_EX | LOCK_NB);
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

// Creating, renaming and removing a name need the folder's write right (and
// its owner's, under the sticky bit), never the file's own.
bool refused_by_folder(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
}

int sync_folder(const char* folder, native_handle on_its_volume)
{
    const int descriptor = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return errno == EACCES ? sync_volume(on_its_volume) : errno;
    }
    const int result = fsync(descriptor);
    const int error = errno;
    (void)close(descriptor);
    // EINVAL: the file system keeps no folder flush of its own.
    return result == 0 || error == EINVAL ? 0 : error;
}

int sync_renames(native_handle file, const char* folder)
{
    return sync_folder(folder, file);
}

int identity_of_path(const char* path, file_identity& identity)
{
    struct stat info {};
    const int error = looked_up(stat(path, &info));
    if (error == 0) {
        identity = identity_from(info);
    }
    return error;
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

link_state read_link(const char* path, std::string& target, int& error)
{
    struct stat info {};
    error = looked_up(lstat(path, &info));
    if (error != 0) {
        return error == ENOENT ? link_state::nothing : link_state::unreadable;
    }
    if (!S_ISLNK(info.st_mode)) {
        return link_state::not_link;
    }
    target.assign(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t length = readlink(path, target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        // A link that changed between the calls.
        error = length < 0 ? errno : EAGAIN;
        return link_state::unreadable;
    }
    target.resize(static_cast<std::size_t>(length));
    return link_state::link;
}

int list_folder(const char* folder, std::vector<std::string>& names)
{
    DIR* listing = opendir(folder);
    if (listing == nullptr) {
        return errno;
    }
    // readdir ends the listing and fails alike, with nullptr: only errno tells.
    errno = 0;
    // One thread reads one listing: readdir's shared buffer is no hazard here.
    // cppcheck-suppress readdirCalled
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    const int error = errno;
    (void)closedir(listing);
    return error;
}

std::string current_folder()
{
    std::string folder(4096, '\0');
    if (getcwd(folder.data(), folder.size()) == nullptr) {
        return "";
    }
    folder.resize(std::char_traits<char>::length(folder.c_str()));
    return folder;
}

int look_at(const char* path)
{
    struct stat info {};
    return looked_up(stat(path, &info));
}

int remove_path(const char* path)
{
    return unlink(path) == 0 ? 0 : errno;
}

namespace {

// The one piece of side work that may be under way.
struct side_thread {
    pthread_t thread;
    bool running;
    void (*work)(void*);
    void* context;
};
side_thread side{};

void* run_side_work(void* /*unused*/)
{
    side.work(side.context);
    return nullptr;
}

} // namespace

void start_side_work(void (*work)(void*), void* context)
{
    side.work = work;
    side.context = context;
    // The new thread inherits the mask, and the caller's own is put back at
    // once: a signal that comes meanwhile waits for it.
    sigset_t all{};
    sigset_t kept{};
    (void)sigfillset(&all);
    (void)pthread_sigmask(SIG_SETMASK, &all, &kept);
    side.running = pthread_create(&side.thread, nullptr, run_side_work, nullptr) == 0;
    (void)pthread_sigmask(SIG_SETMASK, &kept, nullptr);
    if (!side.running) {
        work(context);
    }
}

void finish_side_work()
{
    if (side.running) {
        (void)pthread_join(side.thread, nullptr);
        side.running = false;
    }
}
