// Inside the program every path and every text is UTF-8; Windows takes them
// in UTF-16. These convert at the border, and only on Windows: elsewhere
// paths are bytes that pass through untouched.
#pragma once

#ifdef _WIN32

#include <cstddef>
#include <string>

std::wstring utf16_from_utf8(const char* text, std::size_t length);
std::string utf8_from_utf16(const wchar_t* text);
// The path as the wide file functions take it. A path whose full form
// reaches MAX_PATH becomes that full form behind \\?\, which bypasses the
// limit; shorter ones stay as typed, so that device names such as NUL keep
// meaning the device.
std::wstring native_path(const char* path);

#endif
