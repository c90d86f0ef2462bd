// Writes the seed corpus: one script per scenario, so that fuzzing starts from logins,
// replies, every frame type an agent sends, and the send path's limits.
//   make_corpus <dir>   writes <dir>/fuzz_receive/*.bin and <dir>/fuzz_send/*.bin
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "script.h"
#include "wire.h"

using namespace fuzzscript;

namespace {

constexpr uint32_t kSess = 0x55;

// A receive script under construction.
struct Recv {
    Writer w;
    explicit Recv(uint8_t ucPrelude = 1, uint32_t uTick = 1000) { w.u8(ucPrelude).u32(uTick); }
    Recv &proc(uint8_t ucStep = 6) {
        w.u8(kProc).u8(ucStep);
        return *this;
    }
    Recv &frame(uint8_t ucType, const Bytes &data, uint8_t ucSessMode = kSessCurrent,
                uint32_t uSess = 0, int iPeer = -1, uint8_t ucSplit = 0) {
        w.u8(kFrame).u8(0).u8(ucType).u8(iPeer >= 0 ? XR_DEV_TCP_FLAG_PEER : 0).u8(ucSessMode);
        if (ucSessMode == kSessExplicit) w.u32(uSess);
        w.u16(iPeer >= 0 ? uint32_t(iPeer) : 0).u16(uint32_t(data.size())).bytes(data).u8(ucSplit);
        return *this;
    }
    Recv &echo(uint8_t ucMask) {
        w.u8(kEcho).u8(ucMask);
        return *this;
    }
    Recv &arm(uint8_t ucKind, uint8_t ucAction) {
        w.u8(kArm).u8(ucKind).u8(ucAction);
        return *this;
    }
};

Bytes loginReplyData(int32_t iResult, const char *lpszAddr, const char *lpszTime) {
    Bytes d(devtcp::wire::kLoginReplySize, 0);
    devtcp::wire::writeLe32(d.data(), uint32_t(iResult));
    memcpy(d.data() + devtcp::wire::kLoginReplyOffAddr, lpszAddr, strlen(lpszAddr));
    memcpy(d.data() + devtcp::wire::kLoginReplyOffTime, lpszTime, strlen(lpszTime));
    return d;
}

Bytes text64(const char *lpsz) {
    Bytes d(devtcp::wire::kTextFieldSize, 0);
    memcpy(d.data(), lpsz, strlen(lpsz));
    return d;
}

// Logged in on H with session kSess: Online and Time have been told.
Recv loggedIn(uint8_t ucPrelude = 1, uint32_t uTick = 1000) {
    Recv s(ucPrelude, uTick);
    s.proc().frame(XR_DEV_TCP_MSG_LOGIN, loginReplyData(0, "", "2024-01-01 00:00:00"),
                   kSessExplicit, kSess);
    s.proc();
    return s;
}

struct Send {
    Writer w;
    explicit Send(uint8_t ucPrelude = 1) { w.u8(ucPrelude).u32(kSess); }
    Send &send(uint8_t ucHandle, uint8_t ucType, uint8_t ucData, uint8_t ucPeer, bool bNullPeer) {
        w.u8(kSSend).u8(ucHandle).u8(ucType).u8(ucData).u8(ucPeer).u8(bNullPeer);
        for (uint32_t i = 0; i < decodeSize(ucData, 0); ++i) w.u8('d');
        for (uint32_t i = 0; i < decodeSize(ucPeer, 0); ++i)
            w.u8(i + 1 < decodeSize(ucPeer, 0) ? 'p' : 0);
        return *this;
    }
    Send &plan(const Bytes &answers) {
        w.u8(kSSendPlan).u8(uint32_t(answers.size() - 1)).bytes(answers);
        return *this;
    }
};

bool g_bOk = true;

void put(const std::string &dir, const char *lpszName, const Bytes &b) {
    std::string path = dir + "/" + lpszName + ".bin";
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(b.data(), 1, b.size(), f) != b.size() || fclose(f) != 0) {
        fprintf(stderr, "make_corpus: cannot write %s\n", path.c_str());
        g_bOk = false;
    }
}

void receiveSeeds(const std::string &dir) {
    put(dir, "login_accepted", loggedIn().w.out);
    {
        Recv s;
        s.proc().frame(XR_DEV_TCP_MSG_LOGIN, loginReplyData(1234, "", ""), kSessZero).proc();
        put(dir, "login_refused", s.w.out);
    }
    {
        Recv s;
        s.proc().frame(XR_DEV_TCP_MSG_LOGIN, loginReplyData(0, "A", "t"), kSessExplicit, 9);
        s.proc()
            .proc()
            .frame(XR_DEV_TCP_MSG_LOGIN, loginReplyData(0, "", "t"), kSessExplicit, 10)
            .proc();
        put(dir, "login_reply_redirects", s.w.out);
    }
    {
        Recv s = loggedIn();
        s.echo(kEchoData).frame(XR_DEV_TCP_MSG_DATA, Bytes{1, 0xAB, 0, 7, 7, 7, 7, 7, 7, 7},
                                kSessCurrent, 0, 5);
        s.proc().proc();
        put(dir, "data_echo", s.w.out);
    }
    {
        Recv s = loggedIn();
        Bytes text{'h', 'e', 'l', 'l', 'o', 0};
        s.echo(kEchoStr)
            .frame(XR_DEV_TCP_MSG_STR, text, kSessCurrent, 0, 4, 3)
            .proc()
            .proc()
            .proc();
        put(dir, "string_echo_split", s.w.out);
    }
    {
        Recv s = loggedIn();
        s.frame(XR_DEV_TCP_MSG_TIME, text64("2024-06-30 12:00:00")).proc();
        put(dir, "time", s.w.out);
    }
    {
        Recv s = loggedIn();
        s.frame(XR_DEV_TCP_MSG_REDIRECT, text64("A")).proc().proc();
        put(dir, "redirect", s.w.out);
    }
    {
        Recv s = loggedIn();
        s.frame(XR_DEV_TCP_MSG_WAKE, {}).frame(XR_DEV_TCP_MSG_WAKE, {}).proc().proc();
        put(dir, "wake_twice", s.w.out);
    }
    {
        Recv s = loggedIn();
        Bytes code(4);
        devtcp::wire::writeLe32(code.data(), uint32_t(-77));
        s.frame(XR_DEV_TCP_MSG_ERROR, code).proc();
        put(dir, "error", s.w.out);
    }
    {
        Recv s = loggedIn();
        s.frame(XR_DEV_TCP_MSG_DATA, Bytes(3000, 0xEE), kSessCurrent, 0, -1, 250);
        s.frame(XR_DEV_TCP_MSG_WAKE, {});
        for (int i = 0; i < 16; ++i) s.proc();
        put(dir, "oversized_then_wake", s.w.out);
    }
    {
        Recv s = loggedIn();
        s.proc(192 + 4).proc(128 + 1).proc(192 + 2).proc(128 + 1).proc();  // 60 s, 90 s
        put(dir, "keepalive_then_silence", s.w.out);
    }
    {
        Recv s = loggedIn();
        s.w.u8(kRecvFail).u8(0);
        s.proc().proc(128 + 1).proc(128 + 1);
        put(dir, "read_failure_backoff", s.w.out);
    }
    {
        Recv s = loggedIn(3);
        s.arm(kArmNotify, kActLogout | kActLoginSame).frame(XR_DEV_TCP_MSG_WAKE, {}).proc();
        s.w.u8(kSendPlan).u8(1).u8(5).u8(kSendFail);
        s.echo(kEchoData | kEchoNotify | kEchoReinstall).proc().proc();
        put(dir, "logout_from_callback", s.w.out);
    }
    put(dir, "near_wrap", loggedIn(1, 0xFFFFFF00u).proc(255).proc(10).w.out);
}

void sendSeeds(const std::string &dir) {
    put(dir, "data_and_string",
        Send()
            .send(0, XR_DEV_TCP_MSG_DATA, 10, 5, false)
            .send(0, XR_DEV_TCP_MSG_STR, 6, 4, false)
            .send(0, XR_DEV_TCP_MSG_DATA, 0, 8, false)
            .send(0, XR_DEV_TCP_MSG_DATA, 3, 5, true)
            .w.out);
    put(dir, "partial_writes",
        Send()
            .plan({40, kSendNothing, kSendOverclaim})
            .send(0, XR_DEV_TCP_MSG_DATA, 100, 9, false)
            .send(0, XR_DEV_TCP_MSG_STR, 20, 1, false)
            .w.out);
    put(dir, "queue_full",
        Send()
            .plan({kSendNothing})
            .send(0, XR_DEV_TCP_MSG_DATA, 192 + 2, 0, true)  // 2032 + 8
            .send(0, XR_DEV_TCP_MSG_KEEPALIVE, 0, 0, true)
            .send(0, XR_DEV_TCP_MSG_DATA, 1, 0, true)
            .w.out);
    put(dir, "flush_fails",
        Send().plan({kSendFail}).send(0, XR_DEV_TCP_MSG_DATA, 4, 3, false).w.out);
    put(dir, "bad_handles",
        Send(3)
            .send(1, XR_DEV_TCP_MSG_DATA, 4, 0, true)
            .send(4, XR_DEV_TCP_MSG_DATA, 4, 0, true)
            .send(1, XR_DEV_TCP_MSG_LOGIN, 4, 0, true)
            .w.out);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_corpus <dir>\n");
        return 2;
    }
    std::string root = argv[1];
    mkdir(root.c_str(), 0755);
    mkdir((root + "/fuzz_receive").c_str(), 0755);
    mkdir((root + "/fuzz_send").c_str(), 0755);
    receiveSeeds(root + "/fuzz_receive");
    sendSeeds(root + "/fuzz_send");
    return g_bOk ? 0 : 1;
}
