// The receive path: a script drives a fresh library through the fake socket table. It
// decides what every read returns (any bytes, split anywhere, or a failure), how the
// connection answers, how time passes (long silences and the tick's wrap included), and
// what the application does from inside its callbacks: echo, log out, log in again.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "harness.h"

using namespace fuzzscript;
using harness::Bytes;

namespace {

const char *const kUsers[] = {"u0", "u1", "u2"};
const char *const kAddrs[] = {"H", "A", "B", ""};

struct Arm {
    bool bSet = false;
    uint8_t ucAction = 0;
};

struct Script {
    uint32_t uTick = 0;
    uint8_t ucEcho = 0;
    Arm arm[kArmKindCount];
    std::vector<int32_t> handles;  // every handle a login returned
};

Script g_s;

// FUZZ_TRACE=1 prints every event, to follow a saved input by eye.
const bool g_bTrace = getenv("FUZZ_TRACE") != nullptr;
#define TRACE(...)                                  \
    do {                                            \
        if (g_bTrace) fprintf(stderr, __VA_ARGS__); \
    } while (0)

int32_t chooseHandle(Reader &r) {
    uint8_t c = r.u8();
    if (c < 2) return devtcp::makeHandle(c);
    if (c == 2 && !g_s.handles.empty()) return g_s.handles[r.u8() % g_s.handles.size()];
    return int32_t(r.u32());
}

void login(const char *lpszUser, const char *lpszAddr) {
    int32_t iHandle = xrDevTcpLogin(lpszAddr, lpszUser, "pw");
    HARNESS_CHECK(iHandle >= 0 || iHandle == XR_DEV_TCP_ERR_NO_SLOT, iHandle);
    if (iHandle >= 0) g_s.handles.push_back(iHandle);
}

// The application's answer to a callback, once armed.
void fireArm(ArmKind kind, int32_t iAgentID) {
    Arm &a = g_s.arm[kind];
    if (!a.bSet) return;
    a.bSet = false;
    if (!(a.ucAction & kActLogout)) return;
    uint32_t uInd = uint32_t(iAgentID) >> 16;
    char szUser[XR_DEV_TCP_USER_SIZE];
    memcpy(szUser, g_stDevTcp.stLink[uInd].szUser, sizeof szUser);
    xrDevTcpLogout(iAgentID);
    harness::checkState();
    HARNESS_CHECK(g_stDevTcp.stLink[uInd].usStatus == XR_DEV_TCP_STATUS_IDLE, long(uInd));
    if (a.ucAction & kActLoginSame) login(szUser, "H");
    if (a.ucAction & kActLoginOther) login("u2", "B");
}

void checkSendResult(int32_t iResult, uint32_t uDataSize) {
    HARNESS_CHECK(iResult == int32_t(uDataSize) || iResult == XR_DEV_TCP_ERR_ARG ||
                      iResult == XR_DEV_TCP_ERR_SOCKET || iResult == XR_DEV_TCP_ERR_NOT_LOGINED ||
                      iResult == XR_DEV_TCP_ERR_QUEUE_FULL,
                  iResult);
}

void reinstall();

void TcpError(int32_t iAgentID, int32_t iError) {
    harness::checkCallbackHandle(iAgentID);
    TRACE("error %d %d\n", iAgentID, iError);
    reinstall();
    fireArm(kArmError, iAgentID);
}

void TcpNotify(int32_t iAgentID, uint32_t uType, const char *lpszData) {
    uint32_t uInd = harness::checkCallbackHandle(iAgentID);
    TRACE("notify %d %u '%s'\n", iAgentID, uType, lpszData);
    switch (uType) {
        case XR_DEV_TCP_NOTIFY_ONLINE:
        case XR_DEV_TCP_NOTIFY_OFFLINE:
        case XR_DEV_TCP_NOTIFY_WAKE:
            harness::checkEmptyText(lpszData);
            break;
        case XR_DEV_TCP_NOTIFY_REDIRECT:
            harness::checkFrameText(uInd, lpszData);
            HARNESS_CHECK(lpszData[0] != '\0');
            HARNESS_CHECK(strlen(lpszData) < XR_DEV_TCP_ADDR_SIZE, long(strlen(lpszData)));
            break;
        case XR_DEV_TCP_NOTIFY_TIME:
            harness::checkFrameText(uInd, lpszData);
            HARNESS_CHECK(strlen(lpszData) < 64, long(strlen(lpszData)));
            break;
        default:
            harness::fail("notify type", long(uType));
    }
    if ((g_s.ucEcho & kEchoNotify) &&
        (uType == XR_DEV_TCP_NOTIFY_ONLINE || uType == XR_DEV_TCP_NOTIFY_TIME)) {
        static const char kText[] = "hello";
        checkSendResult(xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_STR, kText, sizeof kText, "p", 2),
                        sizeof kText);
    }
    reinstall();
    fireArm(kArmNotify, iAgentID);
}

void TcpReceive(int32_t iAgentID, const uint8_t *lpData, uint32_t uDataSize, const char *lpszPeer) {
    uint32_t uInd = harness::checkCallbackHandle(iAgentID);
    harness::checkData(uInd, lpData, uDataSize);
    harness::checkPeer(uInd, lpszPeer);
    TRACE("data %d size=%u peer=%s\n", iAgentID, uDataSize, lpszPeer ? lpszPeer : "(null)");
    if (g_s.ucEcho & kEchoData) {
        uint32_t uPeer = lpszPeer ? uint32_t(strlen(lpszPeer) + 1) : 0;
        checkSendResult(
            xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_DATA, lpData, uDataSize, lpszPeer, uPeer),
            uDataSize);
    }
    reinstall();
    fireArm(kArmReceive, iAgentID);
}

void TcpReceiveStr(int32_t iAgentID, const char *lpszData, const char *lpszPeer) {
    uint32_t uInd = harness::checkCallbackHandle(iAgentID);
    harness::checkFrameText(uInd, lpszData);
    harness::checkPeer(uInd, lpszPeer);
    TRACE("str %d '%s' peer=%s\n", iAgentID, lpszData, lpszPeer ? lpszPeer : "(null)");
    if (g_s.ucEcho & kEchoStr) {
        uint32_t uPeer = lpszPeer ? uint32_t(strlen(lpszPeer) + 1) : 0;
        uint32_t uSize = uint32_t(strlen(lpszData) + 1);
        checkSendResult(
            xrDevTcpSend(iAgentID, XR_DEV_TCP_MSG_STR, lpszData, uSize, lpszPeer, uPeer), uSize);
    }
    reinstall();
    fireArm(kArmReceiveStr, iAgentID);
}

void Log(int32_t iLevel, const char *lpszText) {
    harness::Log(iLevel, lpszText);
    TRACE("log %s\n", lpszText);
}

const XR_DEV_TCP_CALLBACK_S kEvents = {TcpError, TcpNotify, TcpReceive, TcpReceiveStr, {}};

void reinstall() {
    if (g_s.ucEcho & kEchoReinstall) xrDevTcpSetCallback(&harness::kSockets, &kEvents, Log);
}

void queueFrame(Reader &r) {
    uint32_t uInd = r.u8() & 1u;
    uint8_t ucType = r.u8();
    uint8_t ucFlags = r.u8();
    uint32_t uSess;
    switch (r.u8() & 3u) {
        case kSessCurrent:
            uSess = g_stDevTcp.stLink[uInd].uSessID;
            break;
        case kSessZero:
            uSess = 0;
            break;
        case kSessExplicit:
            uSess = r.u32();
            break;
        default:
            uSess = g_stDevTcp.stLink[uInd].uSessID + 1;
            break;
    }
    uint32_t uPeerLen = r.u16();
    uint32_t uDataLen = r.u16() % 4097u;
    Bytes data = r.bytes(uDataLen);
    uint8_t ucSplit = r.u8();
    bool bPeer = ucFlags & XR_DEV_TCP_FLAG_PEER;
    uPeerLen = bPeer ? uPeerLen % 2100u : 0;
    Bytes peer(uPeerLen, 'n');
    if (uPeerLen) peer[uPeerLen - 1] = '\0';
    uint32_t uPayload =
        devtcp::wire::payloadLength(uDataLen, 0) +
        (bPeer ? devtcp::wire::kPeerPrefix + devtcp::wire::paddedPeerLength(uPeerLen) : 0);
    Bytes f = harness::buildFrame(uSess, ucType, ucFlags, uPayload, bPeer ? &peer : nullptr,
                                  uPeerLen, data);
    size_t uStep = ucSplit ? ucSplit : f.size();
    for (size_t at = 0; at < f.size(); at += uStep) {
        size_t uEnd = at + uStep < f.size() ? at + uStep : f.size();
        harness::g_net.recv[uInd].push_back(
            {Bytes(f.begin() + long(at), f.begin() + long(uEnd)), false});
    }
}

void appSend(Reader &r) {
    int32_t iHandle = chooseHandle(r);
    uint8_t ucType = r.u8();
    uint32_t uDataLen = r.u16() % 2100u;
    uint32_t uPeerLen = r.u8();
    Bytes data = r.bytes(uDataLen);
    std::vector<char> peer(uPeerLen ? uPeerLen : 1, 'q');
    checkSendResult(xrDevTcpSend(iHandle, ucType, data.data(), uDataLen,
                                 uPeerLen ? peer.data() : nullptr, uPeerLen),
                    uDataLen);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *lpData, size_t uSize) {
    Reader r(lpData, uSize);
    harness::resetNet();
    g_s = Script();
    xrDevTcpTestRestart();
    xrDevTcpSetCallback(&harness::kSockets, &kEvents, Log);

    uint8_t ucPrelude = r.u8();
    g_s.uTick = r.u32();
    if (ucPrelude & 1) login("u0", "H");
    if (ucPrelude & 2) login("u1", "A");
    harness::checkState();

    for (int iOps = 0; !r.done() && iOps < 2000; ++iOps) {
        switch (r.u8() % kRecvOpCount) {
            case kProc:
                g_s.uTick = tickStep(r.u8(), g_s.uTick);
                xrDevTcpProc(g_s.uTick);
                break;
            case kChunk: {
                uint32_t uInd = r.u8() & 1u;
                bool bOverclaim = r.u8() & 1u;
                Bytes b = r.bytes(r.u16() % 4097u);
                harness::g_net.recv[uInd].push_back({b, bOverclaim});
                break;
            }
            case kFrame:
                queueFrame(r);
                break;
            case kRecvFail:
                harness::g_net.bRecvFail[r.u8() & 1u] = true;
                break;
            case kOpen:
                harness::g_net.bOpenFails = r.u8() & 1u;
                break;
            case kCheck:
                harness::g_net.iCheck = int8_t(r.u8());
                break;
            case kSendPlan:
                harness::readSendPlan(r);
                break;
            case kAppSend:
                appSend(r);
                break;
            case kLogout:
                xrDevTcpLogout(chooseHandle(r));
                break;
            case kLogin: {
                uint8_t ucUser = r.u8() % 3u;
                login(kUsers[ucUser], kAddrs[r.u8() % 4u]);
                break;
            }
            case kEcho:
                g_s.ucEcho = r.u8();
                break;
            case kArm: {
                uint8_t ucKind = r.u8() % kArmKindCount;
                g_s.arm[ucKind].bSet = true;
                g_s.arm[ucKind].ucAction = r.u8();
                break;
            }
        }
        harness::checkState();
    }
    harness::logOutAllAndCheck();
    return 0;
}
