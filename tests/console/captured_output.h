// Collects what the client prints, for the duration of one test.
#ifndef DEVTCP_TESTS_CONSOLE_CAPTURED_OUTPUT_H
#define DEVTCP_TESTS_CONSOLE_CAPTURED_OUTPUT_H

#include <cstdio>
#include <string>

#include "console_output.h"

class CapturedOutput {
  public:
    CapturedOutput() : m_lpFile(std::tmpfile()) { m_lpPrevious = SetConsoleStream(m_lpFile); }
    ~CapturedOutput() {
        SetConsoleStream(m_lpPrevious);
        std::fclose(m_lpFile);
    }
    CapturedOutput(const CapturedOutput &) = delete;
    CapturedOutput &operator=(const CapturedOutput &) = delete;

    /** Everything printed since construction or the last Take(), which is then cleared. */
    std::string Take() {
        std::string text;
        std::rewind(m_lpFile);
        for (int c = std::fgetc(m_lpFile); c != EOF; c = std::fgetc(m_lpFile)) {
            text.push_back(static_cast<char>(c));
        }
        std::fclose(m_lpFile);
        m_lpFile = std::tmpfile();
        SetConsoleStream(m_lpFile);
        return text;
    }

  private:
    FILE *m_lpFile;
    FILE *m_lpPrevious = nullptr;
};

#endif
