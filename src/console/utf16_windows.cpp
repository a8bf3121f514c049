#include "utf16.h"

#include <cstring>
#include <cwchar>
#include <limits>

#include <windows.h>

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

} // namespace

std::wstring utf16_from_utf8(const char* text, std::size_t length)
{
    if (length == 0 || length > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return {};
    }
    const auto size = static_cast<int>(length);
    const int count = MultiByteToWideChar(CP_UTF8, 0, text, size, nullptr, 0);
    if (count <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    (void)MultiByteToWideChar(CP_UTF8, 0, text, size, wide.data(), count);
    return wide;
}

std::string utf8_from_utf16(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(size), '\0');
    (void)WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back();
    return utf8;
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
