// SPDX-License-Identifier: MIT
// The points whose peer is the kit's own, made with the host's sockets: the port under
// test connects to a listener of the kit, or to an address where the kit knows what
// happens, and the kit watches from the other end what the port did.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "kit.h"
#include "points.h"

namespace kit {

namespace {

// Offers alternate between what the library offers at most and far more than a stack
// holds, which a stack can only take in part.
constexpr uint32_t CHUNKS[2] = {2048, 4 << 20};
constexpr uint32_t PERIOD = 65521;             // the stream repeats after this many bytes (a prime)
constexpr uint64_t MIN_TRANSFER = 256 * 1024;  // at least this much to a slow reader
constexpr uint64_t MAX_TRANSFER = 8 << 20;     // and never more
constexpr uint32_t SLOW_READ = 4096;           // what the slow reader takes per pause
constexpr int32_t SPARE_HANDLES = 8;           // descriptors the kit may hold beyond its own
constexpr int CYCLES = 3 * SPARE_HANDLES;      // connections opened and closed under that

// The byte at @p uAt of the stream written to the slow reader.
uint8_t streamByte(uint64_t uAt) {
    return uint8_t((uAt % PERIOD) * 131 + (uAt % PERIOD >> 11));
}

const char *whyNoPeer() {
    if (g_lpHost == nullptr)
        return "this build gives the kit no sockets of its own (ConformanceHost)";
    if (g_lpHost->lpSockets == nullptr || g_lpHost->Listen == nullptr ||
        g_lpHost->Accept == nullptr)
        return "the host gives the kit no listener of its own";
    return nullptr;
}

// The port connects to a listener of the kit's own; the listener, and the port's handle
// and the host's side of the connection (-1 each when not made), or @p fault.
struct Pair {
    int32_t iListener = -1;
    int32_t iPort = -1;
    int32_t iPeer = -1;
};

std::string connectPair(Pair &pair, bool bWaitChecked) {
    std::string addr;
    pair.iListener = hostListen(addr);
    if (pair.iListener < 0) return "the host could not listen";
    long lMs = 0;
    pair.iPort = open(addr.c_str(), lMs);
    if (pair.iPort < 0)
        return format("SocketOpen answered %d for the kit's listener %s", pair.iPort, addr.c_str());
    pair.iPeer = hostAccept(pair.iListener, WAIT_MS);
    if (pair.iPeer < 0)
        return format("the kit's listener got no connection within %ld ms", WAIT_MS);
    for (const long long llEnd = nowMs() + WAIT_MS; bWaitChecked; pause()) {
        const int32_t iCheck = check(pair.iPort);
        if (iCheck > 0) break;
        uint8_t buf[64];  // the peer's side of a handshake goes on inside its reads
        const int32_t iRead = hostRecv(pair.iPeer, buf, sizeof buf);
        if (iRead != 0)
            return format("the kit's peer read %d before the connection was made", iRead);
        if (iCheck < 0 || nowMs() > llEnd)
            return format("SocketCheck answered %d for a connection the kit's listener took",
                          iCheck);
    }
    return "";
}

void release(Pair &pair) {
    if (pair.iPort >= 0) close(pair.iPort);
    if (pair.iPeer >= 0) hostClose(pair.iPeer);
    if (pair.iListener >= 0) hostClose(pair.iListener);
    pair = Pair();
}

// Reads the host's side until it ends, within @p lMs; false when it is still open.
bool peerSeesEnd(int32_t iPeer, long lMs) {
    uint8_t buf[4096];
    for (const long long llEnd = nowMs() + lMs; nowMs() < llEnd;) {
        const int32_t iRead = hostRecv(iPeer, buf, sizeof buf);
        if (iRead < 0) return true;
        if (iRead == 0) pause();
    }
    return false;
}

// Where nothing listens any more: the port may refuse at once, fail the read, fail or
// never pass the check; it must never report the connection as made.
void refused() {
    begin(REFUSED);
    std::string addr;
    const int32_t iListener = hostListen(addr);
    if (iListener < 0) return notRun(REFUSED, "the host could not listen");
    hostClose(iListener);  // its address is refused from now on
    long lMs = 0;
    const int32_t iSocket = open(addr.c_str(), lMs);
    if (iSocket < 0)
        return pass(REFUSED, format("SocketOpen answered %d: refused at once", iSocket));
    uint8_t buf[64];
    std::string how = format(
        "SocketCheck answered 0 for %ld ms: the library's login timeout "
        "ends the attempt",
        WAIT_MS / 2);
    bool bPass = true;
    for (const long long llEnd = nowMs() + WAIT_MS / 2; nowMs() < llEnd; pause()) {
        const int32_t iCheck = check(iSocket);
        if (iCheck != 0) {
            bPass = iCheck < 0;
            how = format("SocketCheck answered %d%s", iCheck,
                         bPass ? ": the library reports -3" : " for a connection nobody accepted");
            break;
        }
        const int32_t iRead = recv(iSocket, buf, sizeof buf, lMs);
        if (iRead != 0) {
            bPass = iRead < 0;
            how =
                format("SocketRecv answered %d%s", iRead,
                       bPass ? ": the library resets the link at once" : " where nothing listens");
            break;
        }
    }
    close(iSocket);
    if (bPass) return pass(REFUSED, how);
    fail(REFUSED, how,
         "never connected: a negative SocketOpen, SocketCheck or SocketRecv, or a SocketCheck that "
         "stays 0");
}

// A connection attempt that stays pending: the open must not wait for it, and neither
// the check nor the read may take it for made or failed.
void silent() {
    begin(SILENT);
    char szAddr[64] = "";
    if (g_lpHost == nullptr || g_lpHost->Silent == nullptr ||
        g_lpHost->Silent(szAddr, sizeof szAddr) != 0)
        return notRun(SILENT, "the host cannot make an address where a connection stays pending");
    long lMs = 0;
    const int32_t iSocket = open(szAddr, lMs);
    if (iSocket < 0) return pass(SILENT, format("SocketOpen answered %d in %ld ms", iSocket, lMs));
    uint8_t buf[64];
    std::string fault;
    int iTurns = 0;
    for (const long long llEnd = nowMs() + 1000; nowMs() < llEnd && fault.empty();
         pause(), ++iTurns) {
        const int32_t iCheck = check(iSocket);
        if (iCheck != 0)
            fault = format("SocketCheck answered %d for a connection that the peer never accepted",
                           iCheck);
        const int32_t iRead = fault.empty() ? recv(iSocket, buf, sizeof buf, lMs) : 0;
        if (iRead != 0)
            fault =
                format("SocketRecv answered %d while the connection was still being made", iRead);
    }
    close(iSocket);
    if (fault.empty())
        return pass(SILENT, format("SocketOpen returned in %ld ms; SocketCheck and SocketRecv "
                                   "answered 0 %d times each",
                                   lMs, iTurns));
    fail(SILENT, fault,
         "an open that returns at once, then 0 from SocketCheck and SocketRecv until the "
         "connection is made");
}

// Many bytes to a peer that reads slowly: the answers of SocketSend must add up to what
// the peer receives, byte for byte.
void slowReader() {
    begin(SLOW_READER);
    if (g_lpHost->lpszPeersBlind != nullptr) return notRun(SLOW_READER, g_lpHost->lpszPeersBlind);
    Pair pair;
    std::string fault = connectPair(pair, true);
    uint64_t uClaimed = 0, uReceived = 0, uTarget = MIN_TRANSFER, uAstray = ~uint64_t(0);
    int iCalls = 0, iZeros = 0, iShort = 0;
    const auto peerReads = [&](uint32_t uMost) {
        uint8_t buf[SLOW_READ];
        for (uint32_t uRead = 0; uRead < uMost;) {
            const int32_t iRead =
                hostRecv(pair.iPeer, buf, std::min<uint32_t>(SLOW_READ, uMost - uRead));
            if (iRead <= 0) return iRead;
            for (int32_t i = 0; i < iRead && uAstray == ~uint64_t(0); ++i)
                if (buf[i] != streamByte(uReceived + uint64_t(i)))
                    uAstray = uReceived + uint64_t(i);
            uReceived += uint64_t(iRead);
            uRead += uint32_t(iRead);
        }
        return int32_t(1);
    };
    std::vector<uint8_t> stream(CHUNKS[1] + PERIOD);
    for (uint32_t i = 0; i < stream.size(); ++i) stream[i] = streamByte(i);
    for (const long long llEnd = nowMs() + 2 * WAIT_MS;
         fault.empty() && (uClaimed < uTarget || iZeros == 0) && uClaimed < MAX_TRANSFER;) {
        const uint32_t uOffer = CHUNKS[iCalls++ % 2];
        long lMs = 0;
        const int32_t iSent = send(pair.iPort, &stream[uClaimed % PERIOD], uOffer, lMs);
        if (iSent < 0 || uint32_t(iSent) > uOffer) {
            fault = format(
                "SocketSend answered %d to %u bytes offered, after %llu bytes, while the "
                "peer was reading slowly",
                iSent, uOffer, (unsigned long long)uClaimed);
            break;
        }
        uClaimed += uint64_t(iSent);
        iShort += iSent > 0 && uint32_t(iSent) < uOffer;
        if (iSent == 0 && ++iZeros == 1) uTarget = std::max(uTarget, 2 * uClaimed);
        if (iSent == 0) peerReads(4 * SLOW_READ);
        if (nowMs() > llEnd) break;
    }
    // The rest, read at full speed: it must come to what the answers claimed.
    for (long long llStill = nowMs();
         fault.empty() && uReceived < uClaimed && nowMs() - llStill < 1000;) {
        const uint64_t uBefore = uReceived;
        if (peerReads(64 * SLOW_READ) < 0) break;
        if (uReceived != uBefore)
            llStill = nowMs();
        else
            pause(1);
    }
    release(pair);
    if (fault.empty() && (uReceived != uClaimed || uAstray != ~uint64_t(0)))
        fault = format("SocketSend's answers add up to %llu bytes, the peer received %llu%s",
                       (unsigned long long)uClaimed, (unsigned long long)uReceived,
                       uAstray == ~uint64_t(0) ? ""
                                               : format(", not those offered from byte %llu on",
                                                        (unsigned long long)uAstray)
                                                     .c_str());
    if (fault.empty())
        return pass(SLOW_READER,
                    format("%llu bytes in %d writes (%d of them took nothing while "
                           "the peer read slowly, %d took part), all received in order",
                           (unsigned long long)uClaimed, iCalls, iZeros, iShort));
    fail(SLOW_READER, fault,
         "the count of the bytes the stack took: the part a short write took, 0 when it would "
         "block");
}

// Two connections open at once: each has its own handle, and bytes written to or read
// from one never belong to the other.
void twoConnections() {
    begin(TWO_CONNECTIONS);
    if (g_lpHost->lpszPeersBlind != nullptr)
        return notRun(TWO_CONNECTIONS, g_lpHost->lpszPeersBlind);
    Pair first, second;
    std::string fault = connectPair(first, true);
    if (fault.empty()) fault = connectPair(second, true);
    if (fault.empty() && first.iPort == second.iPort)
        fault = format("SocketOpen gave handle %d to both connections", first.iPort);
    const char *const kWords[2][2] = {{"to the first", "from the first"},
                                      {"to the second!", "from the second!"}};
    Pair *const pairs[2] = {&first, &second};
    for (int i = 0; i < 2 && fault.empty(); ++i) {  // the port writes, each peer reads
        long lMs = 0;
        const int32_t iSent = send(pairs[i]->iPort, reinterpret_cast<const uint8_t *>(kWords[i][0]),
                                   uint32_t(std::strlen(kWords[i][0])), lMs);
        if (iSent != int32_t(std::strlen(kWords[i][0])))
            fault = format("SocketSend answered %d to a few bytes on an idle connection", iSent);
    }
    for (int i = 0; i < 2 && fault.empty(); ++i) {  // each peer writes, the port reads
        const uint32_t uLen = uint32_t(std::strlen(kWords[i][1]));
        if (hostSend(pairs[i]->iPeer, reinterpret_cast<const uint8_t *>(kWords[i][1]), uLen) !=
            int32_t(uLen))
            fault = "the kit's peer could not write";
    }
    for (int i = 0; i < 2 && fault.empty(); ++i) {
        for (const bool bPeer : {true, false}) {
            std::string got;
            const std::string want = kWords[i][bPeer ? 0 : 1];
            for (const long long llEnd = nowMs() + 1000;
                 got.size() < want.size() + 1 && nowMs() < llEnd;) {
                uint8_t buf[64];
                long lMs = 0;
                const int32_t iRead = bPeer ? hostRecv(pairs[i]->iPeer, buf, sizeof buf)
                                            : recv(pairs[i]->iPort, buf, sizeof buf, lMs);
                if (iRead < 0) break;
                got.append(reinterpret_cast<char *>(buf), size_t(iRead));
                if (iRead == 0 && got.size() >= want.size()) break;  // nothing more after it
                if (iRead == 0) pause();
            }
            if (got != want && fault.empty())
                fault = format(
                    "the %s connection (handle %d) %s \"%s\" where \"%s\" was written %s",
                    i == 0 ? "first" : "second", pairs[i]->iPort, bPeer ? "delivered" : "read",
                    got.c_str(), want.c_str(), bPeer ? "to it" : "by its peer");
        }
    }
    release(first);
    release(second);
    if (fault.empty())
        return pass(TWO_CONNECTIONS,
                    "two handles, and each connection's bytes, both ways, stayed its own");
    fail(TWO_CONNECTIONS, fault,
         "a handle of its own for each connection, and each one's bytes kept apart");
}

// SocketClose must end the connection: the peer sees its end.
void peerSeesClose() {
    begin(PEER_SEES_CLOSE);
    Pair pair;
    std::string fault = connectPair(pair, false);
    if (fault.empty()) {
        pause(50);  // the connection is made on the port's side too
        close(pair.iPort);
        pair.iPort = -1;
        if (!peerSeesEnd(pair.iPeer, 2000))
            fault = "the peer still saw the connection open 2000 ms after SocketClose";
    }
    release(pair);
    if (fault.empty())
        return pass(PEER_SEES_CLOSE, "the peer saw the connection end after SocketClose");
    fail(PEER_SEES_CLOSE, fault, "SocketClose to close the socket (the peer sees the end at once)");
}

// With few descriptors to spare, connections are opened and closed many more times than
// it could hold at once: a port that keeps anything of a closed connection runs out.
void noDescriptorKept() {
    begin(NO_DESCRIPTOR_KEPT);
    if (g_lpHost->LimitHandles == nullptr)
        return notRun(NO_DESCRIPTOR_KEPT, "the host cannot limit the descriptors the kit may hold");
    std::string addr;
    const int32_t iListener = hostListen(addr);
    if (iListener < 0) return notRun(NO_DESCRIPTOR_KEPT, "the host could not listen");
    if (g_lpHost->LimitHandles(SPARE_HANDLES) != 0)
        return notRun(NO_DESCRIPTOR_KEPT, "the host could not lower its descriptor limit");
    std::string fault;
    for (int i = 1; i <= CYCLES && fault.empty(); ++i) {
        long lMs = 0;
        const int32_t iSocket = open(addr.c_str(), lMs);
        const int32_t iPeer = iSocket < 0 ? -1 : hostAccept(iListener, WAIT_MS);
        if (iSocket < 0 || iPeer < 0)
            fault = format(
                "connection %d of %d could not be made (%s), with each one before "
                "it closed and %d descriptors to spare: descriptors are kept after "
                "SocketClose",
                i, CYCLES,
                iSocket < 0 ? format("SocketOpen answered %d", iSocket).c_str()
                            : "the kit's listener got none",
                SPARE_HANDLES);
        if (iSocket >= 0) close(iSocket);
        if (iPeer >= 0 && !peerSeesEnd(iPeer, 1000) && fault.empty())
            fault = format("the peer of connection %d saw no end after SocketClose", i);
        if (iPeer >= 0) hostClose(iPeer);
    }
    g_lpHost->LimitHandles(-1);
    hostClose(iListener);
    if (fault.empty())
        return pass(NO_DESCRIPTOR_KEPT,
                    format("%d connections opened and closed with %d descriptors to spare", CYCLES,
                           SPARE_HANDLES));
    fail(NO_DESCRIPTOR_KEPT, fault, "SocketClose to let go of everything the connection held");
}

}  // namespace

void peerPoints() {
    const char *lpszWhy = whyNoPeer();
    if (lpszWhy == nullptr) refused();
    silent();
    if (lpszWhy != nullptr) {
        for (const Point point :
             {REFUSED, SLOW_READER, TWO_CONNECTIONS, PEER_SEES_CLOSE, NO_DESCRIPTOR_KEPT})
            notRun(point, lpszWhy);
        return;
    }
    slowReader();
    twoConnections();
    peerSeesClose();
    noDescriptorKept();
}

}  // namespace kit
