// SPDX-License-Identifier: MIT
#include "console_output.h"

#include <cstdarg>

namespace {
FILE *g_lpStream = nullptr;  // nullptr: standard output
}

void ConsolePrintf(const char *lpszFormat, ...) {
    FILE *lpStream = g_lpStream != nullptr ? g_lpStream : stdout;
    va_list args;
    va_start(args, lpszFormat);
    std::vfprintf(lpStream, lpszFormat, args);
    va_end(args);
    // Standard output is fully buffered when it is not a terminal; a prompt or an
    // event line must not wait there while the program sleeps between ticks.
    std::fflush(lpStream);
}

FILE *SetConsoleStream(FILE *lpStream) {
    FILE *lpOld = g_lpStream;
    g_lpStream = lpStream;
    return lpOld;
}
