// Replaces src/fileio/fatal_error.cpp in the fuzzer: the product's
// fatal_error exits, which would end in-process fuzzing at the first refused
// archive. Linked ahead of the product's library, so the library's copy is
// never pulled in.
#include <array>
#include <cstdarg>
#include <cstdio>

#include "checked_io.h"
#include "fuzz_fatal_error.h"

void fatal_error(const char* format, ...)
{
    std::array<char, 1024> message{};
    std::va_list args;
    va_start(args, format);
    (void)std::vsnprintf(message.data(), message.size(), format, args);
    va_end(args);
    throw fuzz::fatal_error_thrown{message.data()};
}
