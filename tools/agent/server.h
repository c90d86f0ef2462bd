// SPDX-License-Identifier: MIT
// The agent's event loop: one thread, poll(), non-blocking sockets. Accepts devices,
// feeds their frames to the behaviour, runs its timers, writes what it queued and ends
// cleanly on SIGINT or SIGTERM.
#ifndef DEVTCP_AGENT_SERVER_H
#define DEVTCP_AGENT_SERVER_H

#include "options.h"
#include "output.h"

namespace agent {

// Exit status of the agent.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Listens on options.listen and serves until a signal. Returns the exit status.
int runServer(const Options &options, Output &out);

}  // namespace agent

#endif
