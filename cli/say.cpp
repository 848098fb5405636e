#include "cli/cli.h"

#include <cstdarg>
#include <cstdio>

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // clang's analyser loses track of va_start when it starts from a function with outside
    // linkage.
    std::vprintf(format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    std::fflush(stdout);
}
