// Who else holds a file open, read from /proc: each process's descriptors
// (/proc/PID/fd) compared by device and inode with the file. Only the
// descriptors on the file's own mount (the mnt_id of /proc/PID/fdinfo/N)
// are followed to their files, so that a hung network mount elsewhere
// cannot stall the scan. Processes /proc hides (hidepid) are not listed at
// all, so nothing is known, or said, of them.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "file_system.h"

namespace {

// A file as /proc shows its descriptors. `mount` is -1 where the kernel
// tells none (before Linux 3.15): every descriptor is then followed.
struct sought_file {
    dev_t device;
    ino_t inode;
    long mount;
};

// Opens a /proc entry without following any link on the way, so that no
// entry can lead the scan into another file system. A kernel before 5.6,
// or a sandbox that filters the call out (ENOSYS, or EPERM from seccomp),
// has it opened as any file.
int open_proc(const std::string& path, std::uint64_t flags)
{
    open_how how{};
    how.flags = flags | O_RDONLY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long descriptor = syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (descriptor < 0 && (errno == ENOSYS || errno == EPERM)) {
        return open(path.c_str(), static_cast<int>(how.flags));
    }
    return static_cast<int>(descriptor);
}

// The start of a small /proc file, "" where it cannot be read; `refused`
// tells a file that exists but may not be read.
std::string head_of(const std::string& path, bool& refused)
{
    const int descriptor = open_proc(path, 0);
    refused = descriptor < 0 && (errno == EACCES || errno == EPERM);
    if (descriptor < 0) {
        return "";
    }
    char bytes[256];
    const ssize_t got = read(descriptor, bytes, sizeof bytes);
    (void)close(descriptor);
    return got > 0 ? std::string(bytes, static_cast<std::size_t>(got)) : "";
}

long mount_in(const std::string& fdinfo, bool& refused)
{
    const std::string text = head_of(fdinfo, refused);
    const std::size_t at = text.find("mnt_id:");
    return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + 7, nullptr, 10);
}

bool describe(const char* path, sought_file& sought)
{
    const int descriptor = open(path, O_PATH | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    struct stat info {};
    const bool known = fstat(descriptor, &info) == 0;
    bool refused = false;
    const std::string own = "/proc/" + std::to_string(getpid()) + "/fdinfo/" + std::to_string(descriptor);
    sought = {info.st_dev, info.st_ino, mount_in(own, refused)};
    (void)close(descriptor);
    return known;
}

bool is_the_file(const std::string& process, const char* descriptor, const sought_file& sought, bool& unseen)
{
    const std::string number = std::string("/") + descriptor;
    bool refused = false;
    if (sought.mount >= 0 && mount_in(process + "/fdinfo" + number, refused) != sought.mount) {
        unseen = unseen || refused;
        return false;
    }
    struct stat info {};
    return stat((process + "/fd" + number).c_str(), &info) == 0 && info.st_dev == sought.device &&
           info.st_ino == sought.inode;
}

bool process_holds(const std::string& process, const sought_file& sought, bool& unseen)
{
    const int folder = open_proc(process + "/fd", O_DIRECTORY);
    DIR* descriptors = folder < 0 ? nullptr : fdopendir(folder);
    if (descriptors == nullptr) {
        // ENOENT: the process has ended meanwhile.
        unseen = unseen || errno == EACCES || errno == EPERM;
        return false;
    }
    bool holds = false;
    // cppcheck-suppress readdirCalled
    for (const dirent* entry = readdir(descriptors); entry != nullptr && !holds; entry = readdir(descriptors)) {
        holds = entry->d_name[0] != '.' && is_the_file(process, entry->d_name, sought, unseen);
    }
    (void)closedir(descriptors);
    return holds;
}

std::string name_of_process(const std::string& process)
{
    bool refused = false;
    std::string name = head_of(process + "/comm", refused);
    if (!name.empty() && name.back() == '\n') {
        name.pop_back();
    }
    return name;
}

bool is_process(const char* name)
{
    for (const char* c = name; *c != '\0'; ++c) {
        if (std::isdigit(static_cast<unsigned char>(*c)) == 0) {
            return false;
        }
    }
    return *name != '\0';
}

} // namespace

holders_found holders_of(const char* path)
{
    holders_found found{{}, false};
    sought_file sought{};
    if (!describe(path, sought)) {
        return found;
    }
    const int folder = open_proc("/proc", O_DIRECTORY);
    DIR* processes = folder < 0 ? nullptr : fdopendir(folder);
    if (processes == nullptr) {
        found.unseen = true;
        return found;
    }
    const std::string self = std::to_string(getpid());
    // cppcheck-suppress readdirCalled
    for (const dirent* entry = readdir(processes); entry != nullptr; entry = readdir(processes)) {
        const std::string process = std::string("/proc/") + entry->d_name;
        if (is_process(entry->d_name) && entry->d_name != self && process_holds(process, sought, found.unseen)) {
            found.programs.push_back(name_of_process(process));
        }
    }
    (void)closedir(processes);
    return found;
}
