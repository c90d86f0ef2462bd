// SPDX-License-Identifier: MIT
// devtcp-conformance: checks a socket table against the contract that the link library
// relies on, over real connections to a running devtcp-agent and to peers of the kit's
// own, and prints one verdict per point, then the tally. The table comes from
// ConformancePort(), the host's own sockets from ConformanceHost() (conformance.h).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "conformance.h"
#include "kit.h"
#include "points.h"

namespace {

const char kUsage[] =
    "Usage: %s --agent ADDR [--user NAME] [--password TEXT] [-- PORT ARGS]\n"
    "\n"
    "Checks this program's socket table against the contract of the devtcp link library,\n"
    "over real connections to a devtcp-agent listening on ADDR and to peers of its own,\n"
    "and prints a verdict per point, then 'N passed, N failed, N not run', naming each\n"
    "point not run and why. Exit status 0 when no point failed, 1 otherwise, 2 for a\n"
    "setup error: a bad command line, a port that cannot be set up, no agent at ADDR.\n"
    "\n"
    "  --agent ADDR     the agent, in the port's address form (a.b.c.d:port for ours)\n"
    "  --user NAME      the user name of the logins (default conformance)\n"
    "  --password TEXT  their password (default 5820, the agent's default)\n"
    "  -- PORT ARGS     the rest goes to the port's set-up (a CA file and a server name\n"
    "                   for the TLS port)\n";

int setupError(const std::string &text) {
    std::fprintf(stderr, "devtcp-conformance: setup error: %s\n", text.c_str());
    return 2;
}

// The agent through the host's own sockets, before the port is tried: connected, and
// (unless it speaks TLS) a login accepted. Empty, or what is wrong.
std::string checkAgent(const kit::Agent &agent, const char *lpszAddr, int32_t iSocket) {
    using namespace kit;
    const XR_DEV_TCP_SOCKET_CALLBACK_S *lpSockets = g_lpHost->lpSockets;
    if (iSocket < 0)
        return format(
            "the host's own sockets cannot connect to %s (a.b.c.d:port, port 1 to "
            "65535, is expected)",
            lpszAddr);
    std::vector<uint8_t> bytes = loginRequest(agent.lpszUser, agent.lpszPassword), reply;
    size_t uDone = 0;
    bool bConnected = false;
    for (const long long llEnd = nowMs() + WAIT_MS; nowMs() < llEnd; pause()) {
        uint8_t buf[256];
        bConnected = bConnected || lpSockets->SocketCheck(iSocket) > 0;
        const int32_t iRead = lpSockets->SocketRecv(iSocket, buf, sizeof buf);
        if (iRead < 0 && !bConnected)
            return format("no agent at %s: the connection was refused", lpszAddr);
        if (iRead < 0)
            return format("%s closed the connection without answering a login: no agent there?",
                          lpszAddr);
        if (!bConnected) continue;
        if (g_lpHost->iAgentTls != 0) return "";
        reply.insert(reply.end(), buf, buf + iRead);
        int32_t iResult = 0;
        std::string fault;
        if (reply.size() >= 12 && !loginResult(reply, iResult, fault))
            return format("%s answered a login with something else: no agent there?", lpszAddr);
        if (reply.size() >= 12 && iResult != 0)
            return format("the agent at %s refused user '%s' with %d: check --user and --password",
                          lpszAddr, agent.lpszUser, iResult);
        if (reply.size() >= 12) return "";
        const int32_t iSent =
            uDone < bytes.size()
                ? lpSockets->SocketSend(iSocket, &bytes[uDone], uint32_t(bytes.size() - uDone))
                : 0;
        if (iSent > 0) uDone += size_t(iSent);
    }
    return format(bConnected ? "%s took the connection but answered no login within 3000 ms"
                             : "no agent at %s: no connection within 3000 ms",
                  lpszAddr);
}

}  // namespace

int main(int argc, char **argv) {
    kit::Agent agent{nullptr, "conformance", "5820"};
    int iPortArgs = argc;
    for (int i = 1; i < argc; ++i) {
        const char *lpszArg = argv[i];
        const char **lppValue = std::strcmp(lpszArg, "--agent") == 0      ? &agent.lpszAddr
                                : std::strcmp(lpszArg, "--user") == 0     ? &agent.lpszUser
                                : std::strcmp(lpszArg, "--password") == 0 ? &agent.lpszPassword
                                                                          : nullptr;
        if (std::strcmp(lpszArg, "--") == 0) {
            iPortArgs = i + 1;
            break;
        }
        if (std::strcmp(lpszArg, "--help") == 0 || std::strcmp(lpszArg, "-h") == 0) {
            std::printf(kUsage, argv[0]);
            return 0;
        }
        if (lppValue == nullptr)
            return setupError(
                kit::format("unknown option '%s' (--help lists the options)", lpszArg));
        if (i + 1 >= argc) return setupError(kit::format("option '%s' needs a value", lpszArg));
        *lppValue = argv[++i];
    }
    if (agent.lpszAddr == nullptr)
        return setupError("--agent ADDR is required (--help lists the options)");
    kit::g_lpPort = ConformancePort(argc - iPortArgs, argv + iPortArgs);
    if (kit::g_lpPort == nullptr) return setupError("the port could not be set up (see above)");
    kit::g_lpHost = ConformanceHost();
    if (kit::g_lpHost != nullptr && kit::g_lpHost->lpSockets != nullptr) {
        const char *lpszAddr = kit::g_lpHost->lpszAgent ? kit::g_lpHost->lpszAgent : agent.lpszAddr;
        const int32_t iSocket = kit::hostOpen(lpszAddr);
        const std::string fault = checkAgent(agent, lpszAddr, iSocket);
        if (iSocket >= 0) kit::hostClose(iSocket);
        if (!fault.empty()) return setupError(fault);
    }
    kit::agentPoints(agent);
    kit::peerPoints();
    return kit::finish();
}
