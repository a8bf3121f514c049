// Who else holds a file open, read from /proc: each process's descriptors
// (/proc/PID/fd) compared with the file by mount and inode, as
// /proc/PID/fdinfo/N gives them, so that no descriptor is followed to its
// file and a hung network mount elsewhere cannot stall the scan. A kernel
// whose fdinfo gives no inode has the descriptors on the file's own mount
// followed, and compared by device and inode. Processes /proc hides (hidepid) are not listed at
// all, so nothing is known, or said, of them.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
    long long mount;
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

// A number /proc/PID/fdinfo/N gives, by its field's name ("\nmnt_id:"), or
// -1 where the kernel leaves the field out (mnt_id before Linux 3.15, ino
// before 5.14) or the file could not be read.
long long field_in(const std::string& fdinfo, const char* name)
{
    const std::size_t at = fdinfo.find(name);
    return at == std::string::npos ? -1 : std::strtoll(fdinfo.c_str() + at + std::strlen(name), nullptr, 10);
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
    sought = {info.st_dev, info.st_ino, field_in(head_of(own, refused), "\nmnt_id:")};
    (void)close(descriptor);
    return known;
}

// One mount is one file system: the same mount and inode are the same file,
// told without following the descriptor to it. Older kernels have it
// followed, on the archive's mount only.
bool is_the_file(const std::string& process, const char* descriptor, const sought_file& sought, bool& refused)
{
    const std::string number = std::string("/") + descriptor;
    const std::string fdinfo = head_of(process + "/fdinfo" + number, refused);
    const long long mount = field_in(fdinfo, "\nmnt_id:");
    if (sought.mount >= 0 && mount != sought.mount) {
        return false;
    }
    const long long inode = field_in(fdinfo, "\nino:");
    if (mount >= 0 && inode >= 0) {
        return static_cast<unsigned long long>(inode) == sought.inode;
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
    // The kernel asks whether the process may be looked at, not each of its
    // descriptors: once one is refused, so are the rest, and a process
    // holding thousands would cost as many calls for nothing.
    bool refused = false;
    const dirent* entry = nullptr;
    // cppcheck-suppress readdirCalled
    while (!holds && !refused && (entry = readdir(descriptors)) != nullptr) {
        holds = entry->d_name[0] != '.' && is_the_file(process, entry->d_name, sought, refused);
    }
    (void)closedir(descriptors);
    unseen = unseen || refused;
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
