// SPDX-License-Identifier: MIT
#include "handlers.h"

#include <cstring>

#include "console_output.h"
#include "xr_dev_tcp.h"

namespace {

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

// Prints a text that came from the agent. Its control bytes (below 0x20, and 0x7F) print
// as \xNN in upper-case hex, so that an agent cannot drive the user's terminal with escape
// sequences; every other byte prints as it is. A message that arrived without a peer
// section has no peer name: a marker prints instead of reading through the null pointer.
void PrintAgentText(const char *lpszText) {
    if (lpszText == nullptr) {
        ConsolePrintf("(null)");
        return;
    }
    while (*lpszText != '\0') {
        if (IsControl(*lpszText)) {
            ConsolePrintf("\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(*lpszText)));
            ++lpszText;
            continue;
        }
        int iRun = 0;
        while (lpszText[iRun] != '\0' && !IsControl(lpszText[iRun])) {
            ++iRun;
        }
        ConsolePrintf("%.*s", iRun, lpszText);
        lpszText += iRun;
    }
}

// Size of the peer name as the echo sends it (its NUL counted), or 0 when the message
// is not to be echoed: no peer to send it to, or a name too long for the echo.
uint32_t EchoPeerSize(const char *lpszPeer) {
    if (lpszPeer == nullptr) {
        return 0;
    }
    const std::size_t uSize = std::strlen(lpszPeer) + 1;
    return uSize <= ECHO_PEER_MAX_SIZE ? static_cast<uint32_t>(uSize) : 0;
}

// A refused echo (link not logged in, queue full, or a write that failed and ends the
// connection) is dropped and the sender gets nothing, so the console says so: a tester can
// then tell a lost echo from one that was never asked for.
void ReportRefusedEcho(const char *lpszHandler, int32_t iErr) {
    if (iErr < 0) {
        ConsolePrintf("%s: echo refused, iErr=%d\n", lpszHandler, iErr);
    }
}

}  // namespace

void TcpError(int32_t iAgentID, int32_t iError) {
    ConsolePrintf("TcpError: iAgentID=%d, iError=%d\n", iAgentID, iError);
}

void TcpNotify(int32_t iAgentID, uint32_t uType, const char *lpszData) {
    static const char *const kNotifyWords[] = {"Online", "Offline", "Redirct", "Time", "Wake"};
    if (uType >= sizeof(kNotifyWords) / sizeof(kNotifyWords[0])) {
        return;
    }
    ConsolePrintf("TcpNotify: iAgentID=%d, %s, Data=", iAgentID, kNotifyWords[uType]);
    PrintAgentText(lpszData);
    ConsolePrintf("\n");
}

void TcpReceive(int32_t iAgentID, const uint8_t *lpData, uint32_t uDataSize, const char *lpszPeer) {
    ConsolePrintf("TcpReceive: iAgentID=%d, uDataSize=%u, lpszPeer=", iAgentID, uDataSize);
    PrintAgentText(lpszPeer);
    ConsolePrintf("\n");
    if (lpData == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < uDataSize; ++i) {
        ConsolePrintf("TcpReceive: iAgentID=%d, uData%u=%X\n", iAgentID, i,
                      static_cast<unsigned>(lpData[i]));
    }
    const uint32_t uPeerSize = EchoPeerSize(lpszPeer);
    if (uPeerSize == 0) {
        return;
    }
    ReportRefusedEcho("TcpReceive", xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_DATA, lpData, uDataSize,
                                                 lpszPeer, uPeerSize));
}

void TcpReceiveStr(int32_t iAgentID, const char *lpszData, const char *lpszPeer) {
    ConsolePrintf("TcpReceiveStr: iAgentID=%d, lpszData=", iAgentID);
    PrintAgentText(lpszData);
    ConsolePrintf(", lpszPeer=");
    PrintAgentText(lpszPeer);
    ConsolePrintf("\n");
    if (lpszData == nullptr) {
        return;
    }
    const uint32_t uPeerSize = EchoPeerSize(lpszPeer);
    if (uPeerSize == 0) {
        return;
    }
    // The echo carries the text's terminating NUL, as every string message does.
    const uint32_t uDataSize = static_cast<uint32_t>(std::strlen(lpszData) + 1);
    ReportRefusedEcho("TcpReceiveStr", xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_STR, lpszData,
                                                    uDataSize, lpszPeer, uPeerSize));
}

void LogOutput(int32_t iLevel, const char *lpszText) {
    (void)iLevel;
    ConsolePrintf("%s\n", lpszText != nullptr ? lpszText : "(null)");
}
