// The byte language of the fuzz inputs: each target reads its input as a short prelude
// and then a list of operations. The corpus generator writes the same language, so the
// seeds are readable scenarios rather than opaque bytes.
//
// Every read past the end of the input yields zeros, so any byte string is a script.
#ifndef DEVTCP_FUZZ_SCRIPT_H
#define DEVTCP_FUZZ_SCRIPT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace fuzzscript {

using Bytes = std::vector<uint8_t>;

// Operations of the receive-path script.
enum RecvOp : uint8_t {
    kProc,      // u8 tick step (see tickStep)
    kChunk,     // u8 slot, u8 overclaim, u16 length, bytes: one SocketRecv answer
    kFrame,     // u8 slot, u8 type, u8 flags, u8 session mode [u32], u16 peer length,
                // u16 data length, data bytes, u8 split: a frame built from its parts
    kRecvFail,  // u8 slot: the slot's next SocketRecv fails
    kOpen,      // u8: bit 0 set makes SocketOpen fail
    kCheck,     // u8: SocketCheck's answer, as a signed byte
    kSendPlan,  // u8 count (1..8), that many answers for SocketSend, used in a cycle
    kAppSend,   // u8 handle choice, u8 type, u16 data length, u8 peer length
    kLogout,    // u8 handle choice
    kLogin,     // u8 user choice, u8 address choice
    kEcho,      // u8 mask of what the callbacks do (kEcho* below)
    kArm,       // u8 callback kind, u8 action (kAct* below): one shot
    kRecvOpCount
};

// Session modes of kFrame.
enum SessionMode : uint8_t { kSessCurrent, kSessZero, kSessExplicit, kSessOther };

// kEcho mask.
constexpr uint8_t kEchoData = 1;       // TcpReceive sends the data back to its peer
constexpr uint8_t kEchoStr = 2;        // TcpReceiveStr sends the text back
constexpr uint8_t kEchoNotify = 4;     // Online and Time send a string message
constexpr uint8_t kEchoReinstall = 8;  // every callback installs the tables again

// kArm callback kinds and actions.
enum ArmKind : uint8_t { kArmError, kArmNotify, kArmReceive, kArmReceiveStr, kArmKindCount };
constexpr uint8_t kActLogout = 1;      // log the link out
constexpr uint8_t kActLoginSame = 2;   // then log the same user in again
constexpr uint8_t kActLoginOther = 4;  // then log another user in

// SocketSend answers (kSendPlan bytes).
constexpr uint8_t kSendAll = 0;
constexpr uint8_t kSendNothing = 1;
constexpr uint8_t kSendFail = 2;
constexpr uint8_t kSendOverclaim = 3;  // claims more than offered
// any other value a: takes a * 7 % (size + 1) bytes

// Operations of the send-path script.
enum SendOp : uint8_t {
    kSSend,      // u8 handle choice, u8 type, size data, size peer, u8 peer is null
    kSSendPlan,  // as kSendPlan
    kSProc,      // u8 tick step
    kSLogout,    // u8 handle choice
    kSRelogin,   // u8 slot, u32 session: log in and complete the login
    kSRecvFail,  // u8 slot
    kSendOpCount
};

// Sizes in the send script: one byte, sometimes followed by more, so that both small
// sizes and the limits around the queue's size are a single mutation away.
inline uint32_t decodeSize(uint8_t b, uint32_t uExtra) {
    if (b < 128) return b;
    if (b < 192) return 1900u + (b - 128u) * 3u;
    if (b < 224) return 2030u + (b - 192u);
    if (b < 254) return uExtra & 0xFFFFu;
    if (b == 254) return 0xFFFFFFFFu - (uExtra & 0xFFu);
    return uExtra;
}
inline bool sizeHasExtra(uint8_t b) {
    return b >= 224;
}

// Tick steps: short and per-second steps, the long silences of the timers, and jumps
// to just before the wrap of the 32-bit tick.
inline uint32_t tickStep(uint8_t b, uint32_t uTick) {
    if (b < 128) return uTick + b * 8u;
    if (b < 192) return uTick + (b - 128u) * 1000u;
    if (b < 240) return uTick + (b - 192u) * 15000u;
    return 0xFFFFFFFFu - (b - 240u) * 40u;
}

class Reader {
  public:
    Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    bool done() const { return n_ == 0; }
    uint8_t u8() {
        if (!n_) return 0;
        --n_;
        return *p_++;
    }
    uint16_t u16() { return uint16_t(u8() | u8() << 8); }
    uint32_t u32() { return uint32_t(u16()) | uint32_t(u16()) << 16; }
    Bytes bytes(size_t n) {
        Bytes out(n, 0);
        for (size_t i = 0; i < n && n_; ++i) out[i] = u8();
        return out;
    }

  private:
    const uint8_t *p_;
    size_t n_;
};

class Writer {
  public:
    Writer &u8(uint32_t v) {
        out.push_back(uint8_t(v));
        return *this;
    }
    Writer &u16(uint32_t v) { return u8(v).u8(v >> 8); }
    Writer &u32(uint32_t v) { return u16(v).u16(v >> 16); }
    Writer &bytes(const Bytes &b) {
        out.insert(out.end(), b.begin(), b.end());
        return *this;
    }
    Bytes out;
};

}  // namespace fuzzscript

#endif
