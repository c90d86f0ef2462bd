// SPDX-License-Identifier: MIT
// Collects what the client prints, for the duration of one test.
#ifndef DEVTCP_TESTS_CONSOLE_CAPTURED_OUTPUT_H
#define DEVTCP_TESTS_CONSOLE_CAPTURED_OUTPUT_H

#include <cstdio>
#include <string>

#include "console_output.h"

class CapturedOutput {
  public:
    CapturedOutput() : m_lpPrevious(SetConsoleStream(m_lpFile)) {}
    ~CapturedOutput() { std::fclose(SetConsoleStream(m_lpPrevious)); }

    /** Everything printed since construction or the last Take(), which is then cleared. */
    std::string Take() {
        std::string text(static_cast<std::size_t>(std::ftell(m_lpFile)), '\0');
        std::rewind(m_lpFile);
        text.resize(std::fread(&text[0], 1, text.size(), m_lpFile));
        std::rewind(m_lpFile);
        return text;
    }

  private:
    FILE *m_lpFile = std::tmpfile();
    FILE *m_lpPrevious;
};

#endif
