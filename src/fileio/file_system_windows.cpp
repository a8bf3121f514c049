// The file operations' system calls on Windows. Paths arrive in UTF-8 and
// are handed to the wide functions in UTF-16.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "file_system.h"
#include "utf16.h"

namespace {

bool starts_with(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// The absolute form Windows itself would open: '/' turned into '\', "." and
// ".." resolved against the current folder. Empty when Windows cannot say.
std::wstring full_path(const std::wstring& path)
{
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full;
    while (size != 0) {
        full.resize(size);
        const DWORD written = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
        if (written < size) {
            full.resize(written);
            return full;
        }
        // The current folder changed between the calls; ask again.
        size = written;
    }
    return {};
}

// The path as the wide file functions take it. A path whose full form
// reaches MAX_PATH becomes that full form behind \\?\, which bypasses the
// limit; shorter ones stay as typed, so that device names such as NUL keep
// meaning the device.
std::wstring native_path(const char* path)
{
    std::wstring wide = utf16_from_utf8(path, std::strlen(path));
    // Already a path past the Win32 rules, such as \\?\C:\... or \\.\pipe\...
    if (starts_with(wide, L"\\\\?\\") || starts_with(wide, L"\\\\.\\")) {
        return wide;
    }
    const std::wstring full = full_path(wide);
    if (full.empty() || (wide.size() < MAX_PATH && full.size() < MAX_PATH)) {
        return wide;
    }
    // A name such as NUL in a long path still names the device, \\.\NUL.
    if (starts_with(full, L"\\\\.\\")) {
        return full;
    }
    // \\server\share\... is \\?\UNC\server\share\...
    if (starts_with(full, L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

HANDLE handle_of(std::FILE* stream)
{
    const int descriptor = _fileno(stream);
    return descriptor < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

file_identity identity_from(const BY_HANDLE_FILE_INFORMATION& info)
{
    return {info.dwVolumeSerialNumber,
            static_cast<std::uint64_t>(info.nFileIndexHigh) << 32U | static_cast<std::uint64_t>(info.nFileIndexLow)};
}

int errno_from(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_INVALID_NAME:
        return EINVAL;
    default:
        return EACCES;
    }
}

// Every file is opened with all three sharing rights, so that a run can
// remove update.pak and rename its new backup while it holds them open, and
// another run can still open them to find their locks.
std::FILE* open_handle(const char* path, DWORD access, DWORD disposition, const char* mode)
{
    const HANDLE handle = CreateFileW(native_path(path).c_str(), access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_from(GetLastError());
        return nullptr;
    }
    const int flags = _O_BINARY | (access == GENERIC_READ ? _O_RDONLY : _O_RDWR);
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (descriptor < 0) {
        CloseHandle(handle);
        errno = EMFILE;
        return nullptr;
    }
    std::FILE* stream = _fdopen(descriptor, mode);
    if (stream == nullptr) {
        (void)_close(descriptor);
    }
    return stream;
}

} // namespace

const bool BACKSLASH_SEPARATES_FOLDERS = true;

// Only a folder can be told apart before the open; a device such as NUL
// shows itself only in the opened handle.
path_kind kind_of_path(const char* path)
{
    const DWORD attributes = GetFileAttributesW(native_path(path).c_str());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return folder ? path_kind::directory : path_kind::file_or_nothing;
}

std::FILE* open_path(const char* path, const char* mode)
{
    const bool writes = std::strchr(mode, '+') != nullptr || mode[0] == 'w';
    return open_handle(path, writes ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                       mode[0] == 'w' ? CREATE_ALWAYS : OPEN_EXISTING, mode);
}

std::FILE* create_new_path(const char* path)
{
    return open_handle(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, "w+b");
}

bool opened_as_disk_file(std::FILE* stream)
{
    return GetFileType(handle_of(stream)) == FILE_TYPE_DISK;
}

int seek_from_start(std::FILE* stream, std::int64_t offset)
{
    return _fseeki64(stream, offset, SEEK_SET);
}

int seek_to_end(std::FILE* stream)
{
    return _fseeki64(stream, 0, SEEK_END);
}

std::int64_t tell(std::FILE* stream)
{
    return _ftelli64(stream);
}

int truncate_stream(std::FILE* stream, std::int64_t length)
{
    return _chsize_s(_fileno(stream), length);
}

// A lock on bytes of the file locks them against every other handle, the
// locker's own included; so the byte locked lies past any offset a pak file
// can reach, and the data stay free to read and write.
lock_outcome lock_stream(std::FILE* stream)
{
    OVERLAPPED place{};
    place.Offset = 0x80000000U;
    if (LockFileEx(handle_of(stream), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place) != 0) {
        return lock_outcome::taken;
    }
    const DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? lock_outcome::busy : lock_outcome::refused;
}

int rename_path(const char* from, const char* to)
{
    if (MoveFileExW(native_path(from).c_str(), native_path(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
        return 0;
    }
    return errno_from(GetLastError());
}

int sync_stream(std::FILE* stream)
{
    if (FlushFileBuffers(handle_of(stream)) != 0) {
        return 0;
    }
    return GetLastError() == ERROR_DISK_FULL ? ENOSPC : EIO;
}

// Windows keeps no folder flush: its file systems order the entry of a
// flushed file themselves.
int sync_folder(const char* /*folder*/)
{
    return 0;
}

bool identity_of_path(const char* path, file_identity& identity)
{
    // Backup semantics let the handle open directories too; no access right
    // is needed to read a file's identity.
    const std::wstring native = native_path(path);
    HANDLE handle = CreateFileW(native.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    identity = identity_from(info);
    return ok != 0;
}

bool identity_of_stream(std::FILE* stream, file_identity& identity)
{
    const HANDLE handle = handle_of(stream);
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK ||
        GetFileInformationByHandle(handle, &info) == 0) {
        return false;
    }
    identity = identity_from(info);
    return true;
}

// Links are followed by Windows itself; identity decides.
link_state read_link(const char* /*path*/, std::string& /*target*/)
{
    return link_state::not_link;
}

// Not _wstat64: msvcrt's stat takes a '?' for a wildcard and refuses the path,
// so it would find nothing at any \\?\ path.
bool anything_at(const char* path)
{
    if (GetFileAttributesW(native_path(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_INVALID_DRIVE &&
           error != ERROR_BAD_NETPATH && error != ERROR_BAD_NET_NAME;
}

bool remove_path(const char* path)
{
    return _wremove(native_path(path).c_str()) == 0;
}

bool kernel_can_copy(std::FILE* /*from*/, std::FILE* /*to*/, std::int64_t& /*source_size*/)
{
    return false;
}

std::int64_t kernel_copy(std::FILE* /*from*/, std::int64_t& /*from_offset*/, std::FILE* /*to*/,
                         std::int64_t& /*to_offset*/, std::uint32_t /*count*/)
{
    return 0;
}
