// Questions about paths rather than open streams: which file a name (or a
// standard stream) reaches, and flushing or removing a name in its folder.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "checked_io.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "utf16.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32

bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION& info)
{
    // Backup semantics let the handle open directories too; no access right
    // is needed to read a file's identity.
    const std::wstring native = native_path(path);
    HANDLE handle = CreateFileW(native.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const BOOL ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    return ok != 0;
}

bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

#else

// The folder part of a path as the system reads it, and the last name in it.
std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where a chain of symbolic links that ends nowhere would create its file, or
// "" when `path` is no such chain.
std::string dangling_link_end(const std::string& path)
{
    constexpr int MAX_LINK_HOPS = 40;
    std::string current = path;
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        struct stat info {};
        if (lstat(current.c_str(), &info) != 0) {
            return hop > 0 && errno == ENOENT ? current : "";
        }
        if (!S_ISLNK(info.st_mode)) {
            return "";
        }
        std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
        const ssize_t length = readlink(current.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return "";
        }
        target.resize(static_cast<std::size_t>(length));
        if (target[0] != '/') {
            target.insert(0, folder_of(current) += '/');
        }
        current = target;
    }
    return "";
}

#endif

} // namespace

#ifdef _WIN32

bool same_file(const char* path_a, const char* path_b)
{
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return file_identity(path_a, a) && file_identity(path_b, b) && same_identity(a, b);
}

bool output_is_file(std::FILE* stream, const char* path)
{
    const int descriptor = _fileno(stream);
    const auto handle = descriptor < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    BY_HANDLE_FILE_INFORMATION output{};
    BY_HANDLE_FILE_INFORMATION named{};
    return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(handle, &output) != 0 && file_identity(path, named) &&
           same_identity(output, named);
}

bool leads_to(const char* path, const char* other)
{
    return same_file(path, other);
}

// Windows keeps no folder flush: its file systems order the entry of a
// flushed file themselves.
void flush_folder_of(const char* path)
{
    (void)path;
}

// Not _wstat64: msvcrt's stat takes a '?' for a wildcard and refuses the path,
// so it would find nothing at any \\?\ path.
bool path_exists(const char* path)
{
    if (GetFileAttributesW(native_path(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_INVALID_DRIVE &&
           error != ERROR_BAD_NETPATH && error != ERROR_BAD_NET_NAME;
}

bool remove_file(const char* path)
{
    return _wremove(native_path(path).c_str()) == 0;
}

#else

bool same_file(const char* path_a, const char* path_b)
{
    struct stat a {};
    struct stat b {};
    return stat(path_a, &a) == 0 && stat(path_b, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool output_is_file(std::FILE* stream, const char* path)
{
    struct stat output {};
    struct stat named {};
    return fstat(fileno(stream), &output) == 0 && S_ISREG(output.st_mode) && stat(path, &named) == 0 &&
           output.st_dev == named.st_dev && output.st_ino == named.st_ino;
}

bool leads_to(const char* path, const char* other)
{
    if (same_file(path, other)) {
        return true;
    }
    const std::string end = dangling_link_end(path);
    return !end.empty() && name_of(end) == name_of(other) &&
           same_file(folder_of(end).c_str(), folder_of(other).c_str());
}

void flush_folder_of(const char* path)
{
    const std::string folder = folder_of(path);
    const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return;
    }
    // EINVAL: the file system keeps no folder flush of its own.
    const int result = fsync(descriptor);
    const int error = errno;
    (void)close(descriptor);
    if (result != 0 && error != EINVAL) {
        fatal_error("Error writing %s: %s", folder.c_str(), std::strerror(error));
    }
}

bool path_exists(const char* path)
{
    struct stat info {};
    return stat(path, &info) == 0 || errno != ENOENT;
}

bool remove_file(const char* path)
{
    return std::remove(path) == 0;
}

#endif

