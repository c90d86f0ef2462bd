// SPDX-License-Identifier: MIT
#include "agent_address.h"

#include "console_output.h"

namespace {

// Reads a decimal number from 0 to @p ulMax, without sign or leading zero, and moves
// @p lpszText past its digits. False when there is none or it is larger.
bool ReadNumber(const char *&lpszText, unsigned long ulMax, unsigned long &ulValue) {
    const char *const lpszStart = lpszText;
    ulValue = 0;
    for (; *lpszText >= '0' && *lpszText <= '9'; ++lpszText) {
        if (lpszText != lpszStart && ulValue == 0) {
            return false;  // a leading zero
        }
        ulValue = ulValue * 10 + static_cast<unsigned long>(*lpszText - '0');
        if (ulValue > ulMax) {
            return false;
        }
    }
    return lpszText != lpszStart;
}

}  // namespace

const char *AgentAddressFault(const char *lpszAddr) {
    unsigned long ulValue = 0;
    for (int i = 0; i < 4; ++i) {
        if ((i > 0 && *lpszAddr++ != '.') || !ReadNumber(lpszAddr, 255, ulValue)) {
            return "the host is not a dotted IPv4 address";
        }
    }
    if (*lpszAddr++ != ':') {
        return "there is no colon and port after the host";
    }
    if (!ReadNumber(lpszAddr, 65535, ulValue) || ulValue == 0) {
        return "the port is not a number from 1 to 65535";
    }
    return *lpszAddr == '\0' ? nullptr : "there is more text after the port";
}

void AskAgentAddress(const char *lpszDefault, char (&szField)[READ_LINE_FIELD_SIZE],
                     FILE *lpInput) {
    for (;;) {
        AskLine("Please input device agent's address", lpszDefault, szField, lpInput);
        const char *lpszFault = AgentAddressFault(szField);
        if (lpszFault == nullptr) {
            return;
        }
        ConsolePrintf(
            "AskAgentAddress: %s; expected a dotted IPv4 address, a colon and a port "
            "from 1 to 65535, like %s\n",
            lpszFault, lpszDefault);
    }
}
