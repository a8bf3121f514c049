#include "utf16.h"

#include <limits>

#include <windows.h>

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
