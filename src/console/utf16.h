// Inside the program every path and every text is UTF-8; Windows takes them
// in UTF-16. These convert at the border. Included only by the Windows files
// of this module and of the file operations.
#pragma once

#include <cstddef>
#include <string>

// Bytes that are no UTF-8 become U+FFFD.
std::wstring utf16_from_utf8(const char* text, std::size_t length);
std::string utf8_from_utf16(const wchar_t* text);
