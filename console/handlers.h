// SPDX-License-Identifier: MIT
// The client's event handlers and log function: they print what the link library
// reports, and the two receive handlers echo every message back to its sender.
#ifndef DEVTCP_CONSOLE_HANDLERS_H
#define DEVTCP_CONSOLE_HANDLERS_H

#include <cstdint>

/** Longest peer name, its NUL counted, that an echo is sent to. */
constexpr uint32_t ECHO_PEER_MAX_SIZE = 128;

void TcpError(int32_t iAgentID, int32_t iError);
void TcpNotify(int32_t iAgentID, uint32_t uType, const char *lpszData);
/** Prints the message byte by byte and sends the same bytes back to @p lpszPeer. */
void TcpReceive(int32_t iAgentID, const uint8_t *lpData, uint32_t uDataSize, const char *lpszPeer);
/** Prints the text and sends it back, with its NUL, to @p lpszPeer. */
void TcpReceiveStr(int32_t iAgentID, const char *lpszData, const char *lpszPeer);

/** The library's log function: one line of text, followed by one newline. */
void LogOutput(int32_t iLevel, const char *lpszText);

#endif
