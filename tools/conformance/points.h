// SPDX-License-Identifier: MIT
// The points the kit checks, in two groups: those on connections to the agent, and those
// whose peer is the kit's own, made with the host's sockets.
#ifndef DEVTCP_CONFORMANCE_POINTS_H
#define DEVTCP_CONFORMANCE_POINTS_H

#include <cstdint>
#include <string>
#include <vector>

namespace kit {

struct Agent {
    const char *lpszAddr;
    const char *lpszUser;
    const char *lpszPassword;
};

std::vector<uint8_t> loginRequest(const char *lpszUser, const char *lpszPassword);
// The result in a login reply, once @p reply holds one; @p fault otherwise.
bool loginResult(const std::vector<uint8_t> &reply, int32_t &iResult, std::string &fault);

// open, check, read with nothing waiting, write, read in small pieces, the peer's orderly
// close, the peer's reset.
void agentPoints(const Agent &agent);
// A refused connection, a peer that never answers, a slow reader, two connections at
// once, the closes seen from the peer: each one's verdict, or why it was not run.
void peerPoints();

}  // namespace kit

#endif
