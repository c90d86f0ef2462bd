// SPDX-License-Identifier: MIT
// The lwIP ports for real in one process: lwIP's loopback on an interface 127.0.0.1, the
// agent played on lwIP's sockets with the agent's frame code, and the library logging in
// and echoing through the port. No byte reaches the operating system's network.
#include "xr_dev_tcp_lwip.h"
#include "xr_dev_tcp_lwip_raw.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "frames.h"
extern "C" {  // lwipopts.h declares lwIP's core lock without C linkage
#include "lwip/netif.h"
#include "lwip/sockets.h"
#include "lwip/tcpip.h"
}

namespace {

int g_iOffline = 0;  // Offline notifications

// The device: every message goes back to the peer that sent it.
const XR_DEV_TCP_CALLBACK_S kEvents = {
    nullptr,
    [](int32_t, uint32_t uType, const char *) { g_iOffline += uType == 1; },
    [](int32_t iAgentID, const uint8_t *lpData, uint32_t uSize, const char *lpszPeer) {
        xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_DATA, lpData, uSize, lpszPeer, strlen(lpszPeer) + 1);
    },
    [](int32_t iAgentID, const char *lpszData, const char *lpszPeer) {
        xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_STR, lpszData, uint32_t(strlen(lpszData) + 1),
                     lpszPeer, uint32_t(strlen(lpszPeer) + 1));
    },
    {}};

// Each port once; the raw-API one as with an OS: the library called under the core lock.
TEST(LwipPorts, RefusedConnectionLoginEchoesOfBothKindsAndTheAgentsClose) {
    tcpip_init(nullptr, nullptr);
    static netif s_netif;
    const ip4_addr_t host{PP_HTONL(0x7F000001)}, mask{PP_HTONL(0xFF000000)}, none{0};
    // Packets to 127.0.0.1 loop back inside lwIP and never reach an output: it has none.
    LOCK_TCPIP_CORE();
    netif_add(
        &s_netif, &host, &mask, &none, nullptr, [](netif *) { return err_t(ERR_OK); }, tcpip_input);
    netif_set_up(&s_netif);
    netif_set_link_up(&s_netif);
    UNLOCK_TCPIP_CORE();
    const int iListener = lwip_socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, lwip_htons(8800), {lwip_htonl(0x7F000001)}, {}};
    ASSERT_EQ(lwip_bind(iListener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(lwip_listen(iListener, 1), 0);
    for (const bool bRaw : {false, true}) {
        SCOPED_TRACE(bRaw ? "raw API" : "socket API");
        auto locked = [&](const std::function<void()> &call) {
            if (bRaw) LOCK_TCPIP_CORE();
            call();
            if (bRaw) UNLOCK_TCPIP_CORE();
        };
        uint32_t uTick = 0;
        int iAgent = -1;
        agent::Bytes in;
        std::vector<agent::DeviceFrame> frames;
        // Ticks the library every 2 ms, for at most 10 s, until @p done.
        auto run = [&](const std::function<bool()> &done) {
            for (int i = 0; i < 5000 && !done(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                locked([&] { xrDevTcpProc(uTick += 2); });
                uint8_t buf[512];
                const ssize_t iRead =
                    iAgent < 0 ? 0 : lwip_recv(iAgent, buf, sizeof(buf), MSG_DONTWAIT);
                if (iRead > 0) in.insert(in.end(), buf, buf + iRead);
                for (agent::DeviceFrame frame; agent::cutFrame(in, frame);) frames.push_back(frame);
            }
        };
        int32_t iAgentID = -1;
        g_iOffline = 0;
        xrDevTcpSetCallback(bRaw ? xrDevTcpLwipRawSockets() : xrDevTcpLwipSockets(), &kEvents,
                            nullptr);
        // Nobody listens: the reset shows at once, not as a login timeout 30 s later.
        locked([&] { iAgentID = xrDevTcpLogin("127.0.0.1:8801", "lwip-device", "secret"); });
        run([] { return g_iOffline == 1; });
        EXPECT_LT(uTick, 1000u);
        locked([&] { xrDevTcpLogout(iAgentID); });

        locked([&] { iAgentID = xrDevTcpLogin("127.0.0.1:8800", "lwip-device", "secret"); });
        locked([&] { xrDevTcpProc(uTick); });  // starts the connect, which lwIP's thread completes
        iAgent = lwip_accept(iListener, nullptr, nullptr);
        run([&] { return frames.size() == 1; });  // the login request

        const std::string peer = "lwip-peer";
        const agent::Bytes text{'h', 'e', 'l', 'l', 'o', ' ', 'l', 'w', 'I', 'P', '\0'};
        // Two frames, each larger than the raw-API port's buffer and one segment of lwIP's:
        // the second waits behind the first's rest, and the library reads them in parts.
        agent::Bytes binary(1400), reversed(1400);
        for (size_t i = 0; i < binary.size(); ++i) binary[i] = uint8_t(i);  // NULs and 0xFF too
        reversed.assign(binary.rbegin(), binary.rend());
        for (const agent::Bytes &frame :
             {agent::makeLoginReply(7, 0, "", ""),
              agent::makeFrame(7, XR_DEV_TCP_MSG_STR, text.data(), text.size(), &peer),
              agent::makeFrame(7, XR_DEV_TCP_MSG_DATA, binary.data(), binary.size(), &peer),
              agent::makeFrame(7, XR_DEV_TCP_MSG_DATA, reversed.data(), reversed.size(), &peer)}) {
            ASSERT_EQ(lwip_send(iAgent, frame.data(), frame.size(), 0), ssize_t(frame.size()));
        }
        run([&] { return frames.size() == 4; });
        ASSERT_EQ(frames.size(), 4u);
        EXPECT_EQ(frames[1].session + frames[3].session, 14u);  // the device is logged in
        EXPECT_EQ(frames[1].peer + "," + frames[3].peer, peer + "," + peer);
        EXPECT_EQ(frames[1].data, text);
        EXPECT_EQ(frames[2].data, binary);
        EXPECT_EQ(frames[3].data, reversed);

        lwip_close(iAgent);
        iAgent = -1;
        run([] { return g_iOffline == 2; });
        EXPECT_EQ(g_iOffline, 2);
        locked([&] { xrDevTcpLogout(iAgentID); });
    }
}

}  // namespace
