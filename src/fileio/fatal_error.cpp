// Kept in a file of its own so that a test or fuzz harness can link its own
// fatal_error in place of this one.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "checked_io.h"

void fatal_error(const char* format, ...)
{
    std::printf("************ ERROR ************\n");
    std::va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::exit(1);
}
