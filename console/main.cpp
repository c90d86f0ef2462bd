// SPDX-License-Identifier: MIT
// devtcp-console: asks for the device agent's address and a user name (unless the
// command line gives them), then logs in, drives the link library from a 50 ms clock (or,
// with --events, whenever a socket is ready or the library has something to do), prints
// every event and log line, echoes every message back to its sender, and logs out and in
// again, for ever.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agent_address.h"
#include "console_output.h"
#include "handlers.h"
#include "options.h"
#include "platform.h"
#include "read_line.h"
#include "sockets.h"
#include "xr_dev_tcp.h"

namespace {

constexpr char DEFAULT_AGENT_ADDR[] = "127.0.0.1:8800";
constexpr char DEFAULT_USER[] = "test1234";
constexpr char DEFAULT_PASSWORD[] = "5820";
constexpr uint32_t PROC_INTERVAL_MS = 50;
constexpr uint32_t PROC_CALLS_PER_CYCLE = 100000;  // about 83 minutes per login
constexpr uint32_t CYCLE_MS = PROC_CALLS_PER_CYCLE * PROC_INTERVAL_MS;
constexpr uint32_t RELOGIN_PAUSE_MS = 1000;

static_assert(sizeof(DEFAULT_AGENT_ADDR) <= READ_LINE_FIELD_SIZE, "default address fits");
static_assert(sizeof(DEFAULT_USER) <= READ_LINE_FIELD_SIZE, "default user fits");
static_assert(sizeof(DEFAULT_PASSWORD) <= XR_DEV_TCP_PASS_SIZE, "default password fits");

const XR_DEV_TCP_SOCKET_CALLBACK_S kSocketTable = {SocketOpen, SocketCheck, SocketClose, SocketSend,
                                                   SocketRecv};
const XR_DEV_TCP_CALLBACK_S kEventTable = {TcpError, TcpNotify, TcpReceive, TcpReceiveStr, {}};

// One login's worth of driving by events: the library is called whenever a socket is
// ready or its next deadline comes, until as long has passed as 100,000 ticks take.
void RunByEvents(const CONSOLE_SETTINGS_S &settings) {
    const uint32_t uStart = PlatformTick();
    for (uint32_t uNow = uStart; uNow - uStart < CYCLE_MS; uNow = PlatformTick()) {
        xrDevTcpProc(uNow);
        uNow = PlatformTick();
        const uint32_t uLeft = uNow - uStart < CYCLE_MS ? CYCLE_MS - (uNow - uStart) : 0;
        const uint32_t uWait = xrDevTcpWaitMs(uNow);
        // A wait that fails (it should not) must not turn into a busy loop.
        if (settings.lpWait(uWait < uLeft ? uWait : uLeft) < 0) {
            PlatformSleep(PROC_INTERVAL_MS);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    CONSOLE_SETTINGS_S settings = {&kSocketTable, SocketWait, false, {}, {}, {}};
    const int iExit = ConsoleOptions(argc, argv, settings);
    if (iExit != CONSOLE_RUN) {
        return iExit;
    }
    if (!PlatformStart()) {
        return EXIT_FAILURE;
    }

    // What the command line gave is not asked for.
    if (settings.szAddr[0] == '\0') {
        AskAgentAddress(DEFAULT_AGENT_ADDR, settings.szAddr);
    }
    if (settings.szUser[0] == '\0') {
        AskLine("Please input tcp client's user name", DEFAULT_USER, settings.szUser);
    }
    if (settings.szPass[0] == '\0') {
        std::strcpy(settings.szPass, DEFAULT_PASSWORD);
    }

    for (;;) {
        // Installed before every login, so each cycle starts from the client's tables.
        xrDevTcpSetCallback(settings.lpSockets, &kEventTable, LogOutput);
        const int32_t iAgentID = xrDevTcpLogin(settings.szAddr, settings.szUser, settings.szPass);
        if (iAgentID < 0) {
            ConsolePrintf("xrDevTcpLogin: iErr=%d\n", iAgentID);
            // The only way out of the cycle is a refused login: a failure.
            return EXIT_FAILURE;
        }
        if (settings.bEvents) {
            RunByEvents(settings);
        }
        for (uint32_t i = 0; i < PROC_CALLS_PER_CYCLE && !settings.bEvents; ++i) {
            xrDevTcpProc(PlatformTick());
            PlatformSleep(PROC_INTERVAL_MS);
        }
        xrDevTcpLogout(iAgentID);
        PlatformSleep(RELOGIN_PAUSE_MS);
    }
}
