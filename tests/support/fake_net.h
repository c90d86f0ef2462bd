// A scripted socket table and an event recorder, shared by the unit tests and the fuzz
// targets. Every socket operation and every callback first checks the library's state
// and the arguments it was handed (see fake_net.cpp); a violation goes to FakeNet::fail.
#ifndef DEVTCP_TEST_FAKE_NET_H
#define DEVTCP_TEST_FAKE_NET_H

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link_state.h"

using Bytes = std::vector<uint8_t>;
using Events = std::vector<std::string>;
constexpr uint32_t kLinks = XR_DEV_TCP_LINK_NUM;
constexpr uint32_t kBuf = XR_DEV_TCP_BUF_SIZE;

struct FakeNet {
    static constexpr int32_t kFail = -1, kOverclaim = -3;  // SocketSend plan entries
    // What the sockets answer.
    int32_t nextSocket = 0;          // SocketOpen hands out nextSocket++ ...
    int32_t openResult = 0;          // ... unless this is not 0: then it returns this
    int32_t checkResult = 1;         // SocketCheck
    std::vector<int32_t> sendPlan;   // SocketSend, in a cycle: n >= 0 takes up to n bytes,
    size_t planAt = 0;               // kFail fails, kOverclaim claims 9 more; empty: takes all
    std::deque<Bytes> recv[kLinks];  // each read of a slot's socket hands out its front chunk
    bool recvFail[kLinks] = {};      // the slot's next read fails
    bool overclaim = false;          // a read that fills all the room claims 100 bytes more
    // What the library did.
    Events events;  // opens, closes and callbacks, in order
    Events logs;
    Bytes sent;                        // everything any socket took
    std::map<int32_t, Bytes> streams;  // what each socket took
    std::map<int32_t, size_t> parsed;  // bytes of each stream checked as whole frames
    std::map<int32_t, bool> early;     // the socket was read before it was reported up
    std::map<int32_t, bool> open;      // sockets handed out and not closed
    int recvCalls = 0;
    bool record = true;  // false: events and logs are not kept (fuzzing)
    // Hooks run inside the callbacks, after the checks and the record.
    std::function<void(int32_t, int32_t)> onError;
    std::function<void(int32_t, uint32_t, const char *)> onNotify;
    std::function<void(int32_t, const uint8_t *, uint32_t, const char *)> onReceive;
    std::function<void(int32_t, const char *, const char *)> onReceiveStr;

    static FakeNet *current;
    static void (*fail)(const std::string &what);  // default: print and abort
    static const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets;
    static const XR_DEV_TCP_CALLBACK_S kEvents;
    static void log(int32_t iLevel, const char *lpszText);

    void install();  // a fresh fake, and a fresh library with its tables
    Events take();   // events since the last call
    Bytes takeSent();
    void checkState();
};

// Frames as an agent sends them. A peer section is written when `peer` is given, with
// peerLen bytes of it (default: its length and NUL); flags default to the peer bit.
Bytes frame(uint32_t sess, uint8_t type, const Bytes &data, const char *peer = nullptr,
            int peerLen = -1, int flags = -1);
Bytes loginReply(uint32_t sess, int32_t result, const std::string &addr = "",
                 const std::string &time = "");
Bytes textFrame(uint32_t sess, uint8_t type, const std::string &text);
Bytes errorFrame(uint32_t sess, int32_t code);
Bytes cat(const Bytes &a, const Bytes &b);
std::string hex(const Bytes &b);
XR_DEV_TCP_LINK_S &slot(uint32_t uInd);

// Logs in and ticks until the accepting reply with session `sess` has been handled; the
// fake's records are then emptied. Returns the handle.
int32_t loginAndAccept(FakeNet &net, uint32_t sess, uint32_t &tick, const char *user = "u",
                       const char *addr = "H");

#ifdef FAKE_NET_GTEST
#include <gtest/gtest.h>

// A fresh library on a fresh fake, driven by hand from tick 1000.
struct LibraryTest : ::testing::Test {
    FakeNet net;
    uint32_t tick = 1000;
    uint32_t at = 0;  // the slot that step() feeds
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
