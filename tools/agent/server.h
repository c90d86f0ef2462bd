// SPDX-License-Identifier: MIT
// The agent's event loop: one thread, poll(), non-blocking sockets. Accepts devices,
// feeds their frames to the behaviour, runs its timers, writes what it queued and ends
// cleanly on SIGINT or SIGTERM.
#ifndef DEVTCP_AGENT_SERVER_H
#define DEVTCP_AGENT_SERVER_H

#include <netinet/in.h>

#include <string>

#include "options.h"
#include "output.h"

namespace agent {

// Exit status of the agent.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Listens on options.listen and serves until a signal, or plays options.scenario.
// Returns the exit status.
int runServer(const Options &options, Output &out);

// An IPv4 "a.b.c.d:port" into @p sa; false when it is not one.
bool parseAddress(const std::string &text, sockaddr_in &sa);
// A failure on stderr, and as an error event for a JSON reader.
void fail(Output &out, const std::string &message);

}  // namespace agent

#endif
