#include "utf16.h"

#ifdef _WIN32

#include <limits>

#include <windows.h>

std::wstring utf16_from_utf8(const char* text, std::size_t length)
{
    if (length == 0 || length > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return {};
    }
    const auto size = static_cast<int>(length);
    // Bytes that are no UTF-8 become U+FFFD.
    const int count = MultiByteToWideChar(CP_UTF8, 0, text, size, nullptr, 0);
    if (count <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    (void)MultiByteToWideChar(CP_UTF8, 0, text, size, wide.data(), count);
    return wide;
}

#endif
