// SPDX-License-Identifier: MIT
// Console output of the client: every message goes through ConsolePrintf, which
// flushes after each call so that lines (and prompts without a line end) appear at
// once, also when standard output is a pipe or a file.
#ifndef DEVTCP_CONSOLE_OUTPUT_H
#define DEVTCP_CONSOLE_OUTPUT_H

#include <cstdio>

#if defined(__MINGW32__)
#define CONSOLE_PRINTF_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
#define CONSOLE_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define CONSOLE_PRINTF_FORMAT
#endif

/** printf-style output to the console stream, flushed before returning. */
void ConsolePrintf(const char *lpszFormat, ...) CONSOLE_PRINTF_FORMAT;

/**
 * Redirect console output to @p lpStream (nullptr: back to standard output).
 * @return the stream used before, nullptr meaning standard output.
 */
FILE *SetConsoleStream(FILE *lpStream);

#endif
