// The file operations' system calls on Windows. Paths arrive in UTF-8 and
// are handed to the wide functions in UTF-16.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <io.h>
#include <windows.h>

#include "file_system.h"
#include "utf16.h"

namespace {

HANDLE handle_of(std::FILE* stream)
{
    const int descriptor = _fileno(stream);
    return descriptor < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

std::uint64_t low_half(const unsigned char* bytes)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8U | bytes[i];
    }
    return value;
}

// The 128-bit id where the file system gives one: ReFS reuses the 64-bit
// index of BY_HANDLE_FILE_INFORMATION across files. `info` is the fallback,
// as FAT and older systems answer only that.
file_identity identity_from(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info)
{
    FILE_ID_INFO id{};
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id) != 0) {
        static_assert(sizeof id.FileId.Identifier == 16, "FILE_ID_128 is 16 bytes");
        return {id.VolumeSerialNumber, low_half(id.FileId.Identifier), low_half(id.FileId.Identifier + 8)};
    }
    return {info.dwVolumeSerialNumber,
            static_cast<std::uint64_t>(info.nFileIndexHigh) << 32U | static_cast<std::uint64_t>(info.nFileIndexLow),
            0};
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
    case ERROR_SHARING_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return EBUSY;
    case ERROR_ACCESS_DENIED:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_LOCK_VIOLATION:
    case ERROR_DRIVE_LOCKED:
    case ERROR_CANNOT_MAKE:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_DELETE_PENDING:
        return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
        return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    default:
        // A failing disk, device or network says no more than this: taken
        // for "Permission denied", it would send the user to the rights.
        return EIO;
    }
}

HANDLE handle_from(native_handle file)
{
    return reinterpret_cast<HANDLE>(file);
}

// The offset of a read or write, in the form ReadFile and WriteFile take it.
OVERLAPPED at_offset(std::int64_t offset)
{
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFU);
    place.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32U);
    return place;
}

std::int64_t hundreds_of_nanoseconds(const FILETIME& time)
{
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(time.dwHighDateTime) << 32U |
                                     static_cast<std::uint64_t>(time.dwLowDateTime));
}

} // namespace

const bool BACKSLASH_SEPARATES_FOLDERS = true;

// EBUSY comes only from a sharing violation here: another handle is open
// without the sharing the call needed, and msvcrt's words for it would say
// "Resource device".
const char* error_text(int error)
{
    return error == EBUSY ? "another program has it open" : std::strerror(error);
}

int error_from_system(unsigned long code)
{
    return errno_from(static_cast<DWORD>(code));
}

// Only a folder can be told apart before the open; a device such as NUL
// shows itself only in the opened handle.
path_kind kind_of_path(const char* path)
{
    const DWORD attributes = GetFileAttributesW(native_path(path).c_str());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return folder ? path_kind::directory : path_kind::file_or_nothing;
}

// Every file is opened with all three sharing rights, so that a run can
// remove update.pak and rename its new backup while it holds them open, and
// another run can still open them to find their locks.
native_handle open_native(const char* path, open_mode mode, int& error)
{
    const DWORD access = mode == open_mode::read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = mode == open_mode::create_new ? CREATE_NEW : OPEN_EXISTING;
    const HANDLE handle = CreateFileW(native_path(path).c_str(), access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    error = handle == INVALID_HANDLE_VALUE ? errno_from(GetLastError()) : 0;
    return reinterpret_cast<native_handle>(handle);
}

bool is_disk_file(native_handle file)
{
    return GetFileType(handle_from(file)) == FILE_TYPE_DISK;
}

int close_native(native_handle file)
{
    return CloseHandle(handle_from(file)) != 0 ? 0 : errno_from(GetLastError());
}

// The handles are synchronous: the offset in the OVERLAPPED is where the
// call reads or writes, and the call returns once it is done.
std::int64_t read_native(native_handle file, void* buffer, std::uint32_t count, std::int64_t offset, int& error)
{
    OVERLAPPED place = at_offset(offset);
    DWORD moved = 0;
    error = 0;
    if (ReadFile(handle_from(file), buffer, count, &moved, &place) != 0) {
        return moved;
    }
    // A read from the end of the file on, given an offset, fails with this.
    const DWORD reason = GetLastError();
    if (reason == ERROR_HANDLE_EOF) {
        return 0;
    }
    error = errno_from(reason);
    return -1;
}

std::int64_t write_native(native_handle file, const void* buffer, std::uint32_t count, std::int64_t offset,
                          int& error)
{
    OVERLAPPED place = at_offset(offset);
    DWORD moved = 0;
    error = 0;
    if (WriteFile(handle_from(file), buffer, count, &moved, &place) != 0) {
        return moved;
    }
    error = errno_from(GetLastError());
    return -1;
}

// This call keeps no status change time; `changed` repeats the last write.
bool status_of_native(native_handle file, file_status& status)
{
    const HANDLE handle = handle_from(file);
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle, &info) == 0) {
        errno = errno_from(GetLastError());
        return false;
    }
    status.identity = identity_from(handle, info);
    status.size = static_cast<std::int64_t>(static_cast<std::uint64_t>(info.nFileSizeHigh) << 32U |
                                            static_cast<std::uint64_t>(info.nFileSizeLow));
    status.modified = hundreds_of_nanoseconds(info.ftLastWriteTime);
    status.changed = status.modified;
    status.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && GetFileType(handle) == FILE_TYPE_DISK;
    return true;
}

int truncate_native(native_handle file, std::int64_t length)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = length;
    if (SetFileInformationByHandle(handle_from(file), FileEndOfFileInfo, &end, sizeof end) != 0) {
        return 0;
    }
    return errno_from(GetLastError());
}

int sync_native(native_handle file)
{
    return FlushFileBuffers(handle_from(file)) != 0 ? 0 : errno_from(GetLastError());
}

// Windows writes a file's cached pages out on its own schedule and has no
// call that starts it for a range without waiting.
void start_writing_out(native_handle /*file*/, std::int64_t /*offset*/, std::int64_t /*length*/) {}

// Windows answers for mapped views only, not for a file's cache.
std::int64_t bytes_in_memory(native_handle /*file*/, std::int64_t /*offset*/, std::int64_t /*length*/)
{
    return -1;
}

// Windows takes such a hint only when a file is opened
// (FILE_FLAG_SEQUENTIAL_SCAN), for the whole file.
void expect_reading_in_order(native_handle /*file*/, std::int64_t /*offset*/, std::int64_t /*length*/) {}

// A file opened for synchronous use, as every file here is, takes one call
// at a time: a read on another thread would wait for the flush it was to
// run beside. So the work runs at once.
void start_side_work(void (*work)(void*), void* context)
{
    work(context);
}

void finish_side_work() {}

// A lock on bytes of the file locks them against every other handle, the
// locker's own included; so the byte locked lies past any offset a pak file
// can reach, and the data stay free to read and write.
lock_outcome lock_native(native_handle file)
{
    OVERLAPPED place{};
    place.Offset = 0x80000000U;
    if (LockFileEx(handle_from(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place) != 0) {
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

// Windows keeps no folder flush: its file systems order the entry of a
// flushed file themselves.
int sync_folder(const char* /*folder*/, native_handle /*on_its_volume*/)
{
    return 0;
}

int sync_volume(native_handle /*file*/)
{
    return ENOTSUP;
}

int sync_renames(native_handle file, const char* /*folder*/)
{
    return sync_native(file);
}

// Neither MOVEFILE_REPLACE_EXISTING nor MOVEFILE_COPY_ALLOWED: a file
// standing at `to` fails the call, and a file never moves by a copy.
int rename_path_no_replace(const char* from, const char* to)
{
    if (MoveFileExW(native_path(from).c_str(), native_path(to).c_str(), 0) != 0) {
        return 0;
    }
    return errno_from(GetLastError());
}

int identity_of_path(const char* path, file_identity& identity)
{
    // Backup semantics let the handle open directories too; no access right
    // is needed to read a file's identity.
    const std::wstring native = native_path(path);
    HANDLE handle = CreateFileW(native.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return errno_from(GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const int error = GetFileInformationByHandle(handle, &info) != 0 ? 0 : errno_from(GetLastError());
    if (error == 0) {
        identity = identity_from(handle, info);
    }
    CloseHandle(handle);
    return error;
}

bool identity_of_stream(std::FILE* stream, file_identity& identity)
{
    const HANDLE handle = handle_of(stream);
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK ||
        GetFileInformationByHandle(handle, &info) == 0) {
        return false;
    }
    identity = identity_from(handle, info);
    return true;
}

// Links are followed by Windows itself; identity decides.
link_state read_link(const char* /*path*/, std::string& /*target*/, int& error)
{
    error = 0;
    return link_state::not_link;
}

// Not _wstat64: msvcrt's stat takes a '?' for a wildcard and refuses the path,
// so it would find nothing at any \\?\ path.
// Windows answers access denied just as well for a file another program
// holds open or one marked read-only, so only a write-protected volume is
// known to refuse for the folder.
bool refused_by_folder(int error)
{
    return error == EROFS;
}

// MoveFileEx and ReplaceFile each leave a moment in which one of the two
// files has no name of its own, so Windows offers no exchange.
int exchange_paths(const char* /*a*/, const char* /*b*/)
{
    return ENOTSUP;
}

int list_folder(const char* folder, std::vector<std::string>& names)
{
    WIN32_FIND_DATAW found{};
    const HANDLE listing = FindFirstFileW((native_path(folder) + L"\\*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE) {
        return errno_from(GetLastError());
    }
    do {
        const std::string name = utf8_from_utf16(found.cFileName);
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    } while (FindNextFileW(listing, &found) != 0);
    const DWORD end = GetLastError();
    FindClose(listing);
    return end == ERROR_NO_MORE_FILES ? 0 : errno_from(end);
}

std::string current_folder()
{
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring folder(size, L'\0');
    if (size == 0 || GetCurrentDirectoryW(size, folder.data()) == 0) {
        return "";
    }
    return utf8_from_utf16(folder.c_str());
}

int look_at(const char* path)
{
    if (GetFileAttributesW(native_path(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
        return 0;
    }
    return errno_from(GetLastError());
}

// A read-only file refuses DeleteFile; what a folder's access list allows
// shows only when the removal is tried.
removal_outlook outlook_of_removal(const char* /*folder*/, native_handle file, int& error)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle_from(file), &info) == 0) {
        return removal_outlook::unknown;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        error = EACCES;
        return removal_outlook::refused;
    }
    return removal_outlook::unknown;
}

// An open that shares nothing fails while any other handle is open on the
// file, whoever holds it; Windows does not say whose.
holders_found holders_of(const char* path)
{
    const HANDLE handle = CreateFileW(native_path(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return {{}, false};
    }
    if (GetLastError() == ERROR_SHARING_VIOLATION) {
        return {{""}, false};
    }
    return {{}, false};
}

// Also called from the console's control handler, a thread of its own.
int remove_path(const char* path)
{
    return DeleteFileW(native_path(path).c_str()) != 0 ? 0 : errno_from(GetLastError());
}

// Windows has no copy between open handles inside the kernel.
std::int64_t kernel_copy(native_handle /*from*/, std::int64_t /*from_offset*/, native_handle /*to*/,
                         std::int64_t /*to_offset*/, std::uint32_t /*count*/)
{
    return 0;
}
