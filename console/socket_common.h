// Platform-neutral parts of the socket operations: the address text and the count.
#ifndef DEVTCP_CONSOLE_SOCKET_COMMON_H
#define DEVTCP_CONSOLE_SOCKET_COMMON_H

#include <cstddef>
#include <cstdint>

/** Host buffer of SocketOpen: a dotted IPv4 address fits with room to spare. */
constexpr std::size_t SOCKET_HOST_SIZE = 32;

/**
 * Split "host:port" at its first colon. The host is the text before it (the whole text
 * when there is no colon); the port is the decimal number read from the text after it
 * the way atoi reads it (leading blanks, a sign, digits up to the first other
 * character), kept to its low 16 bits: "" and "x" give 0, "80x" 80, "-1" 65535,
 * "70000" 4464.
 * @return false, leaving the outputs undefined, when the host has more than 31
 *         characters or @p lpszAddr is null.
 */
bool SplitSocketAddress(const char *lpszAddr, char (&szHost)[SOCKET_HOST_SIZE], uint16_t &usPort);

/** Count a socket handed to the library and print the open message. */
void CountSocketOpened();
/** Count a socket taken back (never below 0) and print the close message. */
void CountSocketClosed();

#endif
