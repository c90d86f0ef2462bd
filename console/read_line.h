// SPDX-License-Identifier: MIT
// One trimmed line of console input.
#ifndef DEVTCP_CONSOLE_READ_LINE_H
#define DEVTCP_CONSOLE_READ_LINE_H

#include <cstddef>
#include <cstdio>

/** Size of the caller's field that ReadLine fills: at most 127 characters and a NUL. */
constexpr std::size_t READ_LINE_FIELD_SIZE = 128;
/** Longest line kept: characters beyond it are read and thrown away. */
constexpr std::size_t READ_LINE_MAX_CHARS = 255;
/** Most characters read for one line: input without a line end (a device file, a runaway
 *  pipe) then ends the line there instead of being read for ever. */
constexpr std::size_t READ_LINE_MAX_READ = 65536;

/**
 * Read one line from @p lpInput into @p lpszField (READ_LINE_FIELD_SIZE bytes), without
 * its line end, with spaces, tabs, carriage returns and line feeds trimmed from both ends.
 * The end of input gives an empty field. A line is read to its end even when it is longer
 * than READ_LINE_MAX_CHARS, so its tail never reaches the next read; only its first
 * READ_LINE_MAX_CHARS characters are kept, and of the trimmed text at most 127. A line
 * still without its end after READ_LINE_MAX_READ characters ends there.
 */
void ReadLine(char *lpszField, FILE *lpInput = stdin);

/** Shows the prompt with its default, reads the answer, and takes the default for an empty one. */
void AskLine(const char *lpszPrompt, const char *lpszDefault, char (&szField)[READ_LINE_FIELD_SIZE],
             FILE *lpInput = stdin);

#endif
