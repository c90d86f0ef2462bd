// A scripted socket table and an event recorder for driving a fresh library by hand.
#ifndef DEVTCP_TEST_FAKE_NET_H
#define DEVTCP_TEST_FAKE_NET_H

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link_state.h"
#include "xr_dev_tcp.h"

using Bytes = std::vector<uint8_t>;
using Events = std::vector<std::string>;

// What the fake sockets answer and what the library did with them. Every socket
// operation and every event is also appended, in order, to `events`.
struct FakeNet {
    int32_t nextSocket = 10;
    int32_t openResult = 0;           // 0: hand out nextSocket++; otherwise return this
    int32_t checkResult = 1;          // answer of SocketCheck
    int32_t sendLimit = -2;           // -2: take all; otherwise the answer of SocketSend (capped)
    std::deque<Bytes> recvChunks;     // each SocketRecv hands out the front chunk
    bool recvFail = false;            // SocketRecv answers -1
    Bytes sent;                       // everything SocketSend took, in order
    std::vector<std::string> opened;  // addresses given to SocketOpen
    std::vector<int32_t> closed;
    int recvCalls = 0;
    std::vector<std::string> events;
    // Optional hooks run inside the event callbacks, after they are recorded.
    std::function<void(int32_t, const uint8_t *, uint32_t, const char *)> onReceive;
    std::function<void(int32_t, uint32_t, const char *)> onNotify;
    std::function<void(int32_t, int32_t)> onError;

    static FakeNet *current;

    // A fresh library with this fake installed and logging on.
    void install();
    // Events recorded since the last call, then forgotten.
    std::vector<std::string> take();
    // Bytes sent since the last call, then forgotten.
    Bytes takeSent();
};

// Frame builders for what an agent sends.
Bytes frame(uint32_t sess, uint8_t type, const Bytes &data, const char *peer = nullptr,
            int peerLen = -1, uint8_t flags = 0xFF);
Bytes loginReply(uint32_t sess, int32_t result, const std::string &addr = "",
                 const std::string &time = "");
Bytes textFrame(uint32_t sess, uint8_t type, const std::string &text);
Bytes errorFrame(uint32_t sess, int32_t code);
Bytes cat(const Bytes &a, const Bytes &b);
std::string hex(const Bytes &b);

XR_DEV_TCP_LINK_S &slot(uint32_t uInd);

// Logs in on "H" as user "u" and ticks until the login reply with session `sess` has
// been handled. Returns the handle; the fake's records are emptied.
int32_t loginAndAccept(FakeNet &net, uint32_t sess, uint32_t &tick, const char *user = "u",
                       const char *addr = "H");

// Every field of a free slot as a free slot must hold it.
void expectFree(uint32_t uInd);

// A fresh library on a fresh fake, driven by hand from tick 1000.
struct LibraryTest : ::testing::Test {
    FakeNet net;
    uint32_t tick = 1000;
    void SetUp() override { net.install(); }
    // One tick 50 ms after the last, with `arriving` readable; returns its events.
    Events step(const Bytes &arriving = {}) {
        if (!arriving.empty()) net.recvChunks.push_back(arriving);
        xrDevTcpProc(tick += 50);
        return net.take();
    }
};

#endif
