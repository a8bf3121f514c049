// Inside the program every path and every text is UTF-8; Windows takes them
// in UTF-16. These convert at the border. Included only by the Windows files
// of this module, of the file operations and of the way a run ends.
#pragma once

#include <cstddef>
#include <string>

// Bytes that are no UTF-8 become U+FFFD.
std::wstring utf16_from_utf8(const char* text, std::size_t length);
std::string utf8_from_utf16(const wchar_t* text);
// The path as the wide file functions take it (\\?\ before a long one).
std::wstring native_path(const char* path);
