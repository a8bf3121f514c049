// Inside the program every text is UTF-8; Windows takes it in UTF-16. These
// convert at the border, and only on Windows.
#pragma once

#ifdef _WIN32

#include <cstddef>
#include <string>

std::wstring utf16_from_utf8(const char* text, std::size_t length);

#endif
