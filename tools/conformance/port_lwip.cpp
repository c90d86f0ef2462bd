// SPDX-License-Identifier: MIT
// The conformance kit on devtcp::lwip, or with CONFORMANCE_LWIP_RAW on devtcp::lwip_raw
// (each call under lwIP's core lock, as an application with an OS makes them), on a host:
// lwIP runs inside this process with an interface 127.0.0.1 whose packets loop back inside
// lwIP, so the kit's connections never leave lwIP. A relay thread accepts them on lwIP's
// 127.0.0.1 at the agent's port and carries each one to the agent on the host (its address
// after "--") over the host's sockets: bytes both ways, and an end of either side as an end
// of the other. The kit's own peers are on lwIP too (host_lwip.cpp).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "conformance.h"
#include "host_lwip.h"
#include "xr_dev_tcp_posix.h"
#ifdef CONFORMANCE_LWIP_RAW
#include "xr_dev_tcp_lwip_raw.h"
#else
#include "xr_dev_tcp_lwip.h"
#endif
extern "C" {  // lwipopts.h declares lwIP's core lock without C linkage
#include "lwip/errno.h"
#include "lwip/netif.h"
#include "lwip/sockets.h"
#include "lwip/tcpip.h"
}

namespace {

struct Pair {
    int iDevice;     // lwIP's side: the connection the kit made
    int32_t iAgent;  // the host's side, on devtcp::posix
    std::vector<uint8_t> toAgent, toDevice;
    bool bAgentEnded;
};

// Moves what is waiting on both sides of @p pair; false once the pair is to end.
bool pump(Pair &pair, bool &bMoved) {
    const XR_DEV_TCP_SOCKET_CALLBACK_S *lpHost = xrDevTcpPosixSockets();
    uint8_t buf[4096];
    const ssize_t iFromDevice = lwip_recv(pair.iDevice, buf, sizeof buf, MSG_DONTWAIT);
    const bool bDeviceEnded =
        iFromDevice == 0 || (iFromDevice < 0 && errno != EWOULDBLOCK && errno != EAGAIN);
    if (iFromDevice > 0) pair.toAgent.insert(pair.toAgent.end(), buf, buf + iFromDevice);
    if (!pair.toAgent.empty() && !pair.bAgentEnded) {
        const int32_t iSent = lpHost->SocketSend(pair.iAgent, pair.toAgent.data(),
                                                 static_cast<uint32_t>(pair.toAgent.size()));
        if (iSent > 0) pair.toAgent.erase(pair.toAgent.begin(), pair.toAgent.begin() + iSent);
        pair.bAgentEnded = iSent < 0;
    }
    const int32_t iFromAgent =
        pair.bAgentEnded ? -1 : lpHost->SocketRecv(pair.iAgent, buf, sizeof buf);
    if (iFromAgent > 0) pair.toDevice.insert(pair.toDevice.end(), buf, buf + iFromAgent);
    pair.bAgentEnded = iFromAgent < 0;
    if (!pair.toDevice.empty()) {
        const ssize_t iSent =
            lwip_send(pair.iDevice, pair.toDevice.data(), pair.toDevice.size(), MSG_DONTWAIT);
        if (iSent > 0) pair.toDevice.erase(pair.toDevice.begin(), pair.toDevice.begin() + iSent);
    }
    bMoved = bMoved || iFromDevice > 0 || iFromAgent > 0;
    // The agent's end reaches the device after the bytes before it; closing with the
    // device's bytes unread resets the connection, as the agent's reset did.
    return !bDeviceEnded && !(pair.bAgentEnded && pair.toDevice.empty());
}

void relay(int iListener, std::string agent) {
    const XR_DEV_TCP_SOCKET_CALLBACK_S *lpHost = xrDevTcpPosixSockets();
    std::vector<Pair> pairs;
    for (;;) {
        bool bMoved = false;
        const int iDevice = lwip_accept(iListener, nullptr, nullptr);
        if (iDevice >= 0) {
            lwip_fcntl(iDevice, F_SETFL, O_NONBLOCK);
            // A refused connection to the agent shows in a read: the device's side then
            // ends at once, as it would have been refused.
            int32_t iAgent = lpHost->SocketOpen(agent.c_str()), iFirst = 0;
            uint8_t ucFirst = 0;
            for (int i = 0;
                 iAgent >= 0 && iFirst == 0 && lpHost->SocketCheck(iAgent) == 0 && i < 3000; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                iFirst = lpHost->SocketRecv(iAgent, &ucFirst, 1);
            }
            if (iFirst < 0) lpHost->SocketClose(iAgent);
            iAgent = iFirst < 0 ? -1 : iAgent;
            pairs.push_back({iDevice,
                             iAgent,
                             {},
                             std::vector<uint8_t>(size_t(iFirst > 0), ucFirst),
                             iAgent < 0});
            bMoved = true;
        }
        for (size_t i = pairs.size(); i-- > 0;) {
            if (pump(pairs[i], bMoved)) continue;
            if (pairs[i].iAgent >= 0) lpHost->SocketClose(pairs[i].iAgent);
            lwip_close(pairs[i].iDevice);
            pairs.erase(pairs.begin() + static_cast<long>(i));
        }
        if (!bMoved) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

#ifdef CONFORMANCE_LWIP_RAW
// The raw-API port's operations, each under the core lock.
struct Locked {
    Locked() { LOCK_TCPIP_CORE(); }
    ~Locked() { UNLOCK_TCPIP_CORE(); }
};
const XR_DEV_TCP_SOCKET_CALLBACK_S kLocked = {
    [](const char *lpszAddr) { return Locked(), xrDevTcpLwipRawSockets()->SocketOpen(lpszAddr); },
    [](int32_t iSocket) { return Locked(), xrDevTcpLwipRawSockets()->SocketCheck(iSocket); },
    [](int32_t iSocket) { return Locked(), xrDevTcpLwipRawSockets()->SocketClose(iSocket); },
    [](int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
        return Locked(), xrDevTcpLwipRawSockets()->SocketSend(iSocket, lpData, uSize);
    },
    [](int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
        return Locked(), xrDevTcpLwipRawSockets()->SocketRecv(iSocket, lpBuf, uSize);
    }};
#endif

}  // namespace

extern "C" const XR_DEV_TCP_SOCKET_CALLBACK_S *ConformancePort(int argc, char **argv) {
    const char *lpszColon = argc == 1 ? std::strrchr(argv[0], ':') : nullptr;
    const int iPort = lpszColon != nullptr ? std::atoi(lpszColon + 1) : 0;
    if (iPort <= 0 || iPort > 65535) {
        std::fprintf(stderr,
                     "the lwIP port takes the host's agent address after --; run the "
                     "kit with --agent 127.0.0.1 and the same port\n");
        return nullptr;
    }
    tcpip_init(nullptr, nullptr);
    static netif s_netif;
    const ip4_addr_t host{PP_HTONL(0x7F000001)}, mask{PP_HTONL(0xFF000000)}, none{0};
    LOCK_TCPIP_CORE();
    netif_add(
        &s_netif, &host, &mask, &none, nullptr, [](netif *) { return err_t(ERR_OK); }, tcpip_input);
    netif_set_up(&s_netif);
    netif_set_link_up(&s_netif);
    UNLOCK_TCPIP_CORE();
    const int iListener = lwip_socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = lwip_htons(static_cast<uint16_t>(iPort));
    addr.sin_addr.s_addr = lwip_htonl(0x7F000001);
    if (iListener < 0 || lwip_bind(iListener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) ||
        lwip_listen(iListener, 4) || lwip_fcntl(iListener, F_SETFL, O_NONBLOCK)) {
        std::fprintf(stderr, "lwIP: cannot listen on 127.0.0.1:%d\n", iPort);
        return nullptr;
    }
    std::thread(relay, iListener, std::string(argv[0])).detach();
#ifdef CONFORMANCE_LWIP_RAW
    return &kLocked;
#else
    return xrDevTcpLwipSockets();
#endif
}

extern "C" const XR_DEV_TCP_CONFORMANCE_HOST_S *ConformanceHost(void) {
    return conformanceLwipHost();
}
