// SPDX-License-Identifier: MIT
// A scripted socket table and an event recorder, shared by the unit tests and the fuzz
// targets. Its operations and callbacks first check the library's state and their arguments.
#ifndef DEVTCP_TEST_FAKE_NET_H
#define DEVTCP_TEST_FAKE_NET_H

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link_state.h"

using Bytes = std::vector<uint8_t>;
using Events = std::vector<std::string>;
constexpr uint32_t kLinks = XR_DEV_TCP_LINK_NUM, kBuf = XR_DEV_TCP_BUF_SIZE;

struct FakeNet {
    static constexpr int32_t kFail = -1, kOverclaim = -3;  // sendPlan entries
    struct Socket {
        Bytes stream;      // what it took
        bool open, early;  // not closed; read before the connection was reported up
    };
    int32_t nextSocket = 0, openResult = 0;  // SocketOpen: nextSocket++, or openResult if not 0
    int32_t checkResult = 1;
    std::vector<int32_t> sendPlan;   // SocketSend, in a cycle: n >= 0 takes up to n bytes, kFail
    size_t planAt = 0;               // fails, kOverclaim claims 9 more. Empty: takes all.
    std::deque<Bytes> recv[kLinks];  // each read of a slot's socket hands out its front chunk
    bool recvFail[kLinks] = {};      // the slot's next read fails
    bool overclaim = false;          // a read that fills its room claims 100 bytes more
    Events events, logs;             // opens, closes and callbacks in order; log lines
    Bytes sent;                      // what any socket took
    std::map<int32_t, Socket> sockets;
    int sendCalls = 0;
    std::function<void(int32_t, int32_t)> onError;  // these run inside the callbacks, last
    std::function<void(int32_t, uint32_t, const char *)> onNotify;
    std::function<void(int32_t, const uint8_t *, uint32_t, const char *)> onReceive;
    std::function<void(int32_t, const char *, const char *)> onReceiveStr;
    // Runs first in every socket operation and log line, where the header forbids calls into
    // the library; true: the check, write or read then has nothing to report (answers 0).
    std::function<bool()> inside;
    int depth = 0;  // event callbacks running: an event never starts inside another

    static FakeNet *current;
    static void (*fail)(const std::string &what);  // default: print and abort
    static const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets;
    static const XR_DEV_TCP_CALLBACK_S kEvents;
    static void log(int32_t iLevel, const char *lpszText);
    void install();  // a fresh fake, and a fresh library with its tables
    Events take() { return std::move(events); }
    Bytes takeSent() { return std::move(sent); }
    void checkState();
};

// Frames as an agent sends them. A peer section is written when `peer` is given, with
// peerLen bytes of it (default: up to its NUL); flags default to the peer bit.
Bytes frame(uint32_t sess, uint8_t type, const Bytes &data, const char *peer = nullptr,
            int peerLen = -1, int flags = -1);
inline auto cat = [](Bytes a, const Bytes &b) { return a.insert(a.end(), b.begin(), b.end()), a; };
inline auto field = [](const std::string &s, size_t n) {
    return cat(Bytes(s.begin(), s.end()), Bytes(n - s.size()));
};
inline auto textFrame = [](uint32_t sess, uint8_t type, const std::string &s) {
    return frame(sess, type, field(s, 64));
};
inline auto le32 = [](uint32_t v) {
    return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
};
inline auto errorFrame = [](uint32_t sess, int32_t e) {
    return frame(sess, XR_DEV_TCP_MSG_ERROR, le32(uint32_t(e)));
};
inline auto loginReply = [](uint32_t sess, int32_t result, const std::string &addr = "",
                            const std::string &time = "") {
    return frame(sess, XR_DEV_TCP_MSG_LOGIN,
                 cat(cat(le32(uint32_t(result)), field(addr, 64)), field(time, 64)));
};
inline auto slot = [](uint32_t uInd) -> XR_DEV_TCP_LINK_S & { return g_stDevTcp.stLink[uInd]; };
std::string hex(const Bytes &b);
// Logs in and ticks until the accepting reply with session `sess` has been handled, then
// empties the records. Returns the handle.
int32_t loginAndAccept(FakeNet &net, uint32_t sess, uint32_t &tick, const char *user = "u",
                       const char *addr = "H");

#ifdef FAKE_NET_GTEST
#include <gtest/gtest.h>

// A fresh library on a fresh fake, driven by hand from tick 1000.
struct LibraryTest : ::testing::Test {
    FakeNet net;
    uint32_t tick = 1000, at = 0;  // step() feeds slot `at`
    void SetUp() override {
        FakeNet::fail = [](const std::string &what) { ADD_FAILURE() << what; };
        net.install();
    }
    // One tick 50 ms after the last, with `arriving` readable; returns its events.
    Events step(const Bytes &arriving = {}) {
        if (!arriving.empty()) net.recv[at].push_back(arriving);
        xrDevTcpProc(tick += 50);
        return net.take();
    }
};
#endif

#endif
