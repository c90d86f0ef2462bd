// SPDX-License-Identifier: MIT
#include "read_line.h"

#include <cstring>

#include "console_output.h"

namespace {

bool IsTrimmed(char c) {
    return c == ' ' || c == '\r' || c == '\n' || c == '\t';
}

// Reads up to the line end, the end of input or READ_LINE_MAX_READ characters; keeps the
// first READ_LINE_MAX_CHARS characters and returns how many were kept.
std::size_t ReadRawLine(FILE *lpInput, char *szLine) {
    std::size_t uLen = 0;
    std::size_t uRead = 0;
    for (int c = std::fgetc(lpInput); c != EOF && c != '\n' && ++uRead <= READ_LINE_MAX_READ;
         c = std::fgetc(lpInput)) {
        if (uLen < READ_LINE_MAX_CHARS) {
            szLine[uLen++] = static_cast<char>(c);
        }
    }
    szLine[uLen] = '\0';
    // A NUL byte in the input ends the text there, as it would for any C string.
    return std::strlen(szLine);
}

}  // namespace

void ReadLine(char *lpszField, FILE *lpInput) {
    char szLine[READ_LINE_MAX_CHARS + 1];
    std::size_t uEnd = ReadRawLine(lpInput, szLine);

    std::size_t uStart = 0;
    while (uStart < uEnd && IsTrimmed(szLine[uStart])) {
        ++uStart;
    }
    while (uEnd > uStart && IsTrimmed(szLine[uEnd - 1])) {
        --uEnd;
    }

    std::size_t uLen = uEnd - uStart;
    if (uLen > READ_LINE_FIELD_SIZE - 1) {
        uLen = READ_LINE_FIELD_SIZE - 1;
    }
    std::memcpy(lpszField, szLine + uStart, uLen);
    lpszField[uLen] = '\0';
}

void AskLine(const char *lpszPrompt, const char *lpszDefault, char (&szField)[READ_LINE_FIELD_SIZE],
             FILE *lpInput) {
    ConsolePrintf("%s(%s): ", lpszPrompt, lpszDefault);
    ReadLine(szField, lpInput);
    if (szField[0] == '\0') {
        std::strcpy(szField, lpszDefault);
    }
}
