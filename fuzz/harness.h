// What both fuzz targets share: a socket table whose answers the script decides, which
// checks every argument the library hands it, and the invariants of the library's state,
// checked after every call into the library and on entry to every callback.
//
// A violation prints what broke and aborts, so libFuzzer records the input.
#ifndef DEVTCP_FUZZ_HARNESS_H
#define DEVTCP_FUZZ_HARNESS_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <map>
#include <set>

#include "link_state.h"
#include "script.h"
#include "wire.h"

namespace harness {

using fuzzscript::Bytes;

[[noreturn]] inline void fail(const char *what, long a = 0, long b = 0) {
    fprintf(stderr, "invariant broken: %s (%ld, %ld)\n", what, a, b);
    abort();
}
#define HARNESS_CHECK(cond, ...)                            \
    do {                                                    \
        if (!(cond)) ::harness::fail(#cond, ##__VA_ARGS__); \
    } while (0)

struct Chunk {
    Bytes data;
    bool bOverclaim;
};

struct Socket {
    Bytes stream;         // everything SocketSend took on it
    size_t uParsed = 0;   // whole frames checked so far
    bool bUp = false;     // SocketCheck has reported it established
    bool bEarly = false;  // bytes arrived before that (a fake no real socket matches)
};

struct FakeSockets {
    bool bOpenFails = false;
    int32_t iCheck = 1;
    uint8_t ucPlan[8] = {fuzzscript::kSendAll};
    uint32_t uPlanSize = 1;
    uint32_t uPlanNext = 0;
    bool bRecvFail[XR_DEV_TCP_LINK_NUM] = {};
    std::deque<Chunk> recv[XR_DEV_TCP_LINK_NUM];
    int32_t iNextSocket = 3;
    std::set<int32_t> open;
    std::map<int32_t, Socket> all;
    uint32_t uSendCalls = 0;
};

inline FakeSockets g_net;

inline void resetNet() {
    g_net = FakeSockets();
}

// Reads a new plan for SocketSend from the script: 1 to 8 steps, used round and round.
inline void readSendPlan(fuzzscript::Reader &r) {
    uint32_t n = r.u8() % 8u + 1u;
    for (uint32_t i = 0; i < n; ++i) g_net.ucPlan[i] = r.u8();
    g_net.uPlanSize = n;
    g_net.uPlanNext = 0;
}

inline uint32_t slotOfSocket(int32_t iSocket) {
    HARNESS_CHECK(g_net.open.count(iSocket), iSocket);
    for (uint32_t u = 0; u < XR_DEV_TCP_LINK_NUM; ++u)
        if (g_stDevTcp.stLink[u].iSocket == iSocket) return u;
    fail("socket operation on a socket no slot holds", iSocket);
}

inline uint32_t textLength(const char *lpsz, uint32_t uField) {
    uint32_t n = 0;
    while (n < uField && lpsz[n]) ++n;
    HARNESS_CHECK(n < uField, long(uField));
    return n;
}

// The slot record: sizes, ranges, terminated texts, and a free slot exactly as empty
// as a fresh one.
inline void checkState() {
    for (uint32_t u = 0; u < XR_DEV_TCP_LINK_NUM; ++u) {
        const XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[u];
        HARNESS_CHECK(l.usStatus <= XR_DEV_TCP_STATUS_LOGINED, l.usStatus);
        HARNESS_CHECK(l.uSendSize <= XR_DEV_TCP_BUF_SIZE, long(l.uSendSize));
        HARNESS_CHECK(l.uRecvSize <= XR_DEV_TCP_BUF_SIZE, long(l.uRecvSize));
        HARNESS_CHECK(l.uRecvSkip <= XR_DEV_TCP_HEAD_SIZE + 0xFFFFu, long(l.uRecvSkip));
        HARNESS_CHECK(l.usDelayLevel <= devtcp::kMaxDelayLevel, l.usDelayLevel);
        HARNESS_CHECK(l.usDelayCount <= l.usDelayLevel * devtcp::kDelayPassesPerLevel,
                      l.usDelayCount, l.usDelayLevel);
        textLength(l.szSvrAddr, sizeof l.szSvrAddr);
        textLength(l.szLastAddr, sizeof l.szLastAddr);
        textLength(l.szConnAddr, sizeof l.szConnAddr);
        textLength(l.szUser, sizeof l.szUser);
        textLength(l.szPass, sizeof l.szPass);
        if (l.usStatus >= XR_DEV_TCP_STATUS_CONNECTED) HARNESS_CHECK(l.iSocket >= 0, long(u));
        if (l.iSocket >= 0) HARNESS_CHECK(g_net.open.count(l.iSocket), l.iSocket);
        if (l.usStatus == XR_DEV_TCP_STATUS_IDLE) {
            HARNESS_CHECK(!l.szSvrAddr[0] && !l.szLastAddr[0] && !l.szConnAddr[0] && !l.szUser[0] &&
                              !l.szPass[0],
                          long(u));
            HARNESS_CHECK(l.iSocket == -1, long(u), l.iSocket);
            HARNESS_CHECK(l.uSendSize == 0 && l.uRecvSize == 0 && l.uRecvSkip == 0, long(u));
            HARNESS_CHECK(l.uSessID == 0, long(u));
            HARNESS_CHECK(l.usDelayCount == 0 && l.usDelayLevel == 0, long(u));
        }
    }
    // Every socket handed out is held by exactly one slot, or has been closed.
    size_t uHeld = 0;
    for (const XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) uHeld += l.iSocket >= 0;
    HARNESS_CHECK(uHeld == g_net.open.size(), long(uHeld), long(g_net.open.size()));
    if (g_stDevTcp.stLink[0].iSocket >= 0)
        HARNESS_CHECK(g_stDevTcp.stLink[0].iSocket != g_stDevTcp.stLink[1].iSocket);
}

// A callback's handle names a slot that is still allocated under it: after a callback
// has freed a slot the library must not call back for it.
inline uint32_t checkCallbackHandle(int32_t iAgentID) {
    checkState();
    int32_t iInd = devtcp::slotOfHandle(iAgentID);
    HARNESS_CHECK(iInd >= 0, iAgentID);
    HARNESS_CHECK(g_stDevTcp.stLink[iInd].usStatus != XR_DEV_TCP_STATUS_IDLE, iAgentID);
    return uint32_t(iInd);
}

// The frame at the front of the slot's receive buffer: where pointers handed to the
// callbacks must lie.
struct FrameSpan {
    const uint8_t *lpBegin;
    const uint8_t *lpEnd;
};

inline FrameSpan frontFrame(uint32_t uInd) {
    const XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[uInd];
    HARNESS_CHECK(l.uRecvSize >= XR_DEV_TCP_HEAD_SIZE, long(l.uRecvSize));
    uint32_t uSize = XR_DEV_TCP_HEAD_SIZE + devtcp::wire::readLe16(l.ucRecvBuf + 6);
    HARNESS_CHECK(uSize <= l.uRecvSize, long(uSize), long(l.uRecvSize));
    return {l.ucRecvBuf, l.ucRecvBuf + uSize};
}

// A text handed to a callback lies in the frame's payload and ends inside the frame.
inline void checkFrameText(uint32_t uInd, const char *lpsz) {
    HARNESS_CHECK(lpsz != nullptr);
    FrameSpan f = frontFrame(uInd);
    auto p = reinterpret_cast<const uint8_t *>(lpsz);
    HARNESS_CHECK(p >= f.lpBegin + XR_DEV_TCP_HEAD_SIZE && p < f.lpEnd, long(p - f.lpBegin));
    HARNESS_CHECK(memchr(p, 0, size_t(f.lpEnd - p)) != nullptr, long(p - f.lpBegin));
}

// An empty text may be a constant or lie in the frame.
inline void checkEmptyText(const char *lpsz) {
    HARNESS_CHECK(lpsz != nullptr);
    HARNESS_CHECK(lpsz[0] == '\0');
}

inline void checkData(uint32_t uInd, const uint8_t *lpData, uint32_t uSize) {
    FrameSpan f = frontFrame(uInd);
    HARNESS_CHECK(lpData >= f.lpBegin + XR_DEV_TCP_HEAD_SIZE && lpData <= f.lpEnd,
                  long(lpData - f.lpBegin));
    HARNESS_CHECK(uSize <= size_t(f.lpEnd - lpData), long(uSize), long(f.lpEnd - lpData));
}

inline void checkPeer(uint32_t uInd, const char *lpszPeer) {
    if (!lpszPeer || lpszPeer[0] == '\0') return;  // no peer section, or an empty name
    checkFrameText(uInd, lpszPeer);
}

// Whatever the device writes on a connection is a sequence of well-formed frames, and
// the first is the login request of that connection: nothing of an older connection or
// session goes ahead of it.
inline void checkSentStream(Socket &s) {
    using namespace devtcp::wire;
    while (s.stream.size() - s.uParsed >= kHeadSize) {
        const uint8_t *p = s.stream.data() + s.uParsed;
        uint32_t uPayload = readLe16(p + kOffLength);
        HARNESS_CHECK(uPayload <= kMaxPayload, long(uPayload));
        if (s.stream.size() - s.uParsed < kHeadSize + uPayload) break;
        // An agent that answers before the connection is up can complete a login that
        // was never requested; only a real connection's first frame is the request.
        if (s.uParsed == 0 && !s.bEarly) {
            HARNESS_CHECK(p[kOffType] == XR_DEV_TCP_MSG_LOGIN, p[kOffType]);
            HARNESS_CHECK(readLe32(p) == 0, long(readLe32(p)));
        }
        HARNESS_CHECK(p[kOffFlags] <= XR_DEV_TCP_FLAG_PEER, p[kOffFlags]);
        if (p[kOffFlags]) {
            uint32_t uPeer = readLe16(p + kOffPeerLength);
            HARNESS_CHECK(readLe16(p + kHeadSize) == 0);
            HARNESS_CHECK(uPeer > 0 && kPeerPrefix + paddedPeerLength(uPeer) <= uPayload,
                          long(uPeer), long(uPayload));
            for (uint32_t i = uPeer; i < paddedPeerLength(uPeer); ++i)
                HARNESS_CHECK(p[kOffPeerName + i] == 0, long(i));
        }
        s.uParsed += kHeadSize + uPayload;
    }
}

// The socket table.
inline int32_t SocketOpen(const char *lpszAddr) {
    checkState();
    textLength(lpszAddr, XR_DEV_TCP_ADDR_SIZE);
    if (g_net.bOpenFails) return -1;
    int32_t iSocket = g_net.iNextSocket++;
    g_net.open.insert(iSocket);
    g_net.all[iSocket];
    return iSocket;
}

inline int32_t SocketCheck(int32_t iSocket) {
    uint32_t uInd = slotOfSocket(iSocket);
    HARNESS_CHECK(g_stDevTcp.stLink[uInd].usStatus == XR_DEV_TCP_STATUS_ALLOC, long(uInd));
    if (g_net.iCheck > 0) g_net.all[iSocket].bUp = true;
    return g_net.iCheck;
}

inline void SocketClose(int32_t iSocket) {
    HARNESS_CHECK(g_net.open.erase(iSocket) == 1, iSocket);
    for (const XR_DEV_TCP_LINK_S &l : g_stDevTcp.stLink) HARNESS_CHECK(l.iSocket != iSocket);
}

inline int32_t SocketSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    uint32_t uInd = slotOfSocket(iSocket);
    const XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[uInd];
    HARNESS_CHECK(lpData == l.ucSendBuf, long(uInd));
    HARNESS_CHECK(uSize >= 1 && uSize == l.uSendSize, long(uSize), long(l.uSendSize));
    ++g_net.uSendCalls;
    uint8_t a = g_net.ucPlan[g_net.uPlanNext++ % g_net.uPlanSize];
    uint32_t uTake;
    int32_t iResult;
    switch (a) {
        case fuzzscript::kSendAll:
            uTake = uSize;
            iResult = int32_t(uSize);
            break;
        case fuzzscript::kSendNothing:
            uTake = 0;
            iResult = 0;
            break;
        case fuzzscript::kSendFail:
            return -1;
        case fuzzscript::kSendOverclaim:
            uTake = uSize;
            iResult = int32_t(uSize) + 9;
            break;
        default:
            uTake = a * 7u % (uSize + 1);
            iResult = int32_t(uTake);
            break;
    }
    Socket &s = g_net.all[iSocket];
    s.stream.insert(s.stream.end(), lpData, lpData + uTake);
    checkSentStream(s);
    return iResult;
}

inline int32_t SocketRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    uint32_t uInd = slotOfSocket(iSocket);
    const XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[uInd];
    HARNESS_CHECK(uSize >= 1 && lpBuf == l.ucRecvBuf + l.uRecvSize &&
                      uSize == XR_DEV_TCP_BUF_SIZE - l.uRecvSize,
                  long(uSize), long(l.uRecvSize));
    if (g_net.bRecvFail[uInd]) {
        g_net.bRecvFail[uInd] = false;
        return -1;
    }
    auto &q = g_net.recv[uInd];
    if (q.empty()) return 0;
    Chunk &c = q.front();
    uint32_t uTake = c.data.size() < uSize ? uint32_t(c.data.size()) : uSize;
    if (uTake) memcpy(lpBuf, c.data.data(), uTake);
    Socket &s = g_net.all[iSocket];
    if (uTake && !s.bUp) s.bEarly = true;
    c.data.erase(c.data.begin(), c.data.begin() + uTake);
    bool bOverclaim = c.bOverclaim;
    if (c.data.empty()) q.pop_front();
    // A socket layer that fills the whole space and claims more: the library must cap it.
    return bOverclaim && uTake == uSize ? int32_t(uTake) + 100 : int32_t(uTake);
}

inline const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets = {SocketOpen, SocketCheck, SocketClose,
                                                      SocketSend, SocketRecv};

inline void Log(int32_t iLevel, const char *lpszText) {
    HARNESS_CHECK(iLevel == 0, iLevel);
    textLength(lpszText, 1024);
}

// A frame as an agent sends it, or as the device must queue it: header, peer section
// with zero padding, data.
inline Bytes buildFrame(uint32_t uSess, uint8_t ucType, uint8_t ucFlags, uint32_t uPayload,
                        const Bytes *lpPeer, uint32_t uPeerLen, const Bytes &data) {
    using namespace devtcp::wire;
    Bytes f(kHeadSize);
    writeHeader(f.data(), uSess, ucType, ucFlags, uPayload);
    if (lpPeer) {
        Bytes sec(kPeerPrefix + paddedPeerLength(uPeerLen), 0);
        writeLe16(sec.data() + 2, uPeerLen);
        size_t uCopy = lpPeer->size() < uPeerLen ? lpPeer->size() : uPeerLen;
        if (uCopy) memcpy(sec.data() + kPeerPrefix, lpPeer->data(), uCopy);
        f.insert(f.end(), sec.begin(), sec.end());
    }
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

// Logging every link out leaves nothing behind: no socket open, every slot free.
inline void logOutAllAndCheck() {
    for (uint32_t u = 0; u < XR_DEV_TCP_LINK_NUM; ++u) xrDevTcpLogout(devtcp::makeHandle(u));
    checkState();
    HARNESS_CHECK(g_net.open.empty(), long(g_net.open.size()));
}

}  // namespace harness

#endif
