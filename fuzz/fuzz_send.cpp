// The send path: xrDevTcpSend with any handle, type, data size and peer size, against a
// socket that takes everything, part, nothing or fails. Every result is compared with
// what the call must do, and what the socket took followed by what is still queued
// must be exactly the frames accepted so far, in order, on that connection.
#include <string.h>

#include <vector>

#include "harness.h"

using namespace fuzzscript;
using harness::Bytes;

namespace {

uint32_t g_uTick;
std::vector<int32_t> g_handles;

void NoError(int32_t, int32_t) {}
void NoNotify(int32_t, uint32_t, const char *) {}
const XR_DEV_TCP_CALLBACK_S kEvents = {NoError, NoNotify, nullptr, nullptr, {}};

int32_t chooseHandle(Reader &r) {
    uint8_t c = r.u8();
    if (c < 2) return devtcp::makeHandle(c);
    if (c < 4 && !g_handles.empty()) return g_handles[r.u8() % g_handles.size()];
    if (c < 6) return int32_t(devtcp::makeHandle(c & 1u) ^ 0x10000);
    return int32_t(r.u32());
}

// Bytes of the slot's current connection: what its socket took, then the queue.
Bytes connectionBytes(uint32_t uInd) {
    const XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[uInd];
    Bytes b;
    if (l.iSocket >= 0) b = harness::g_net.all[l.iSocket].stream;
    b.insert(b.end(), l.ucSendBuf, l.ucSendBuf + l.uSendSize);
    return b;
}

void relogin(uint32_t uInd, uint32_t uSess) {
    const char *lpszUser = uInd ? "u1" : "u0";
    int32_t iHandle = xrDevTcpLogin("H", lpszUser, "pw");
    if (iHandle < 0) return;
    g_handles.push_back(iHandle);
    uint32_t uSlot = uint32_t(iHandle) >> 16;
    xrDevTcpProc(g_uTick += 50);
    Bytes reply(devtcp::wire::kLoginReplySize, 0);
    harness::g_net.recv[uSlot].push_back(
        {harness::buildFrame(uSess, XR_DEV_TCP_MSG_LOGIN, 0, uint32_t(reply.size()), nullptr, 0,
                             reply),
         false});
    xrDevTcpProc(g_uTick += 50);
}

// A buffer of exactly the size the caller promises, so that AddressSanitizer sees any
// read beyond it. Sizes no queue can take get a token buffer: they must not be read.
Bytes exactBuffer(Reader &r, uint32_t uSize) {
    return uSize <= (1u << 17) ? r.bytes(uSize) : Bytes(1, 0x5A);
}

void send(Reader &r) {
    int32_t iHandle = chooseHandle(r);
    uint8_t ucType = r.u8();
    uint8_t ucDataSel = r.u8();
    uint32_t uDataSize = decodeSize(ucDataSel, sizeHasExtra(ucDataSel) ? r.u32() : 0);
    uint8_t ucPeerSel = r.u8();
    uint32_t uPeerSize = decodeSize(ucPeerSel, sizeHasExtra(ucPeerSel) ? r.u32() : 0);
    bool bNullPeer = r.u8() & 1u;
    Bytes data = exactBuffer(r, uDataSize);
    Bytes peer = exactBuffer(r, uPeerSize);
    const char *lpszPeer = bNullPeer ? nullptr : reinterpret_cast<const char *>(peer.data());

    // What the call must do.
    uint32_t u = uint32_t(iHandle);
    int32_t iInd = devtcp::slotOfHandle(iHandle);
    bool bValid = u < 0x20000u && (u & 0xFFFFu) == g_stDevTcp.stLink[u >> 16 & 1u].usSeq;
    HARNESS_CHECK(bValid == (iInd >= 0), iHandle);
    uint32_t uInd = bValid ? u >> 16 : 0;
    const XR_DEV_TCP_LINK_S &l = g_stDevTcp.stLink[uInd];
    uint64_t uPeerSec =
        (lpszPeer && uPeerSize) ? 4u + ((uint64_t(uPeerSize) + 3u) & ~uint64_t(3)) : 0;
    uint64_t uFrame = 8u + uPeerSec + uDataSize;
    int32_t iExpect;
    if (!bValid)
        iExpect = XR_DEV_TCP_ERR_ARG;
    else if (l.usStatus != XR_DEV_TCP_STATUS_LOGINED &&
             (ucType != XR_DEV_TCP_MSG_LOGIN || l.usStatus == XR_DEV_TCP_STATUS_IDLE))
        iExpect = XR_DEV_TCP_ERR_NOT_LOGINED;
    else if (l.uSendSize + uFrame > XR_DEV_TCP_BUF_SIZE)
        iExpect = XR_DEV_TCP_ERR_QUEUE_FULL;
    else
        iExpect = int32_t(uDataSize);  // or -3 when the flush fails

    Bytes before = connectionBytes(uInd);
    uint32_t uSessID = l.uSessID;
    uint32_t uCalls = harness::g_net.uSendCalls;
    uint32_t uPlanAt = harness::g_net.uPlanNext;
    int32_t iResult = xrDevTcpSend(iHandle, ucType, data.data(), uDataSize, lpszPeer, uPeerSize);
    harness::checkState();
    Bytes after = connectionBytes(uInd);

    if (iExpect < 0) {
        HARNESS_CHECK(iResult == iExpect, iResult, iExpect);
        HARNESS_CHECK(harness::g_net.uSendCalls == uCalls);
        HARNESS_CHECK(after == before);
        return;
    }
    bool bFlushed = l.iSocket >= 0;
    HARNESS_CHECK(harness::g_net.uSendCalls == uCalls + (bFlushed ? 1u : 0u));
    bool bFailed =
        bFlushed && harness::g_net.ucPlan[uPlanAt % harness::g_net.uPlanSize] == kSendFail;
    HARNESS_CHECK(iResult == (bFailed ? XR_DEV_TCP_ERR_SOCKET : iExpect), iResult, iExpect);
    Bytes frame = harness::buildFrame(uSessID, ucType, uPeerSec ? XR_DEV_TCP_FLAG_PEER : 0,
                                      uint32_t(uPeerSec + uDataSize), uPeerSec ? &peer : nullptr,
                                      uPeerSize, data);
    before.insert(before.end(), frame.begin(), frame.end());
    HARNESS_CHECK(after == before, long(after.size()), long(before.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *lpData, size_t uSize) {
    Reader r(lpData, uSize);
    harness::resetNet();
    g_handles.clear();
    xrDevTcpTestRestart();
    xrDevTcpSetCallback(&harness::kSockets, &kEvents, harness::Log);
    g_uTick = 1000;

    uint8_t ucPrelude = r.u8();
    uint32_t uSess = r.u32();
    if (ucPrelude & 1) relogin(0, uSess);
    if (ucPrelude & 2) relogin(1, uSess + 1);
    harness::checkState();

    for (int iOps = 0; !r.done() && iOps < 1000; ++iOps) {
        switch (r.u8() % kSendOpCount) {
            case kSSend:
                send(r);
                break;
            case kSSendPlan:
                harness::readSendPlan(r);
                break;
            case kSProc:
                g_uTick = tickStep(r.u8(), g_uTick);
                xrDevTcpProc(g_uTick);
                break;
            case kSLogout:
                xrDevTcpLogout(chooseHandle(r));
                break;
            case kSRelogin: {
                uint32_t uInd = r.u8() & 1u;
                relogin(uInd, r.u32());
                break;
            }
            case kSRecvFail:
                harness::g_net.bRecvFail[r.u8() & 1u] = true;
                break;
        }
        harness::checkState();
    }
    harness::logOutAllAndCheck();
    return 0;
}
