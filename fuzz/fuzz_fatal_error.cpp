// Replaces src/ending/fatal_error.cpp in the fuzzer: the product's
// fatal_error exits, which would end in-process fuzzing at the first refused
// archive. Linked ahead of the product's library, so the library's copy is
// never pulled in.
#include <cstdarg>
#include <string>
#include <utility>

#include "fatal_error.h"
#include "fuzz_fatal_error.h"

void fatal_error(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::string message = formatted_text(format, args);
    va_end(args);
    throw fuzz::fatal_error_thrown{std::move(message)};
}
