// SPDX-License-Identifier: MIT
// One device connection: a non-blocking socket, the bytes read but not yet cut into
// frames, and the frames waiting to be written. How frames reach the socket follows the
// write mode: one write per frame, one write per burst, or one byte per write.
#ifndef DEVTCP_AGENT_CONNECTION_H
#define DEVTCP_AGENT_CONNECTION_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "frames.h"
#include "options.h"
#include "output.h"
#include "tls.h"

namespace agent {

enum class IoStatus { Ok, Closed, Failed };

class Connection {
  public:
    // @p local is the agent's address the device came in on; @p opt the scenario
    // settings of this connection.
    Connection(int fd, int id, std::string from, std::string local, const Options &opt);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    int fd() const { return fd_; }
    int id() const { return id_; }
    const std::string &from() const { return from_; }
    const std::string &local() const { return local_; }

    // From now on the connection speaks TLS through @p ssl, which it then owns.
    void useTls(ssl_st *ssl) { ssl_ = ssl; }
    // Why TLS failed (the handshake, a bad record), or "".
    const std::string &tlsFailure() const { return tlsFailure_; }
    // TLS waits to write its handshake: poll for output even with nothing queued.
    bool tlsWantsWrite() const { return agent::tlsWantsWrite(ssl_); }
    // TLS holds input that a read would get: the connection is to be served without poll().
    bool tlsHasPending() const { return agent::tlsHasPending(ssl_); }

    // Reads what the socket has into the input buffer, while it holds less than
    // kMaxReadPerTurn bytes; @p error gets errno on failure.
    IoStatus readAvailable(int &error);
    // Takes the next complete frame off the input; false while there is none.
    bool takeFrame(DeviceFrame &frame);

    // Frames queued during one step form a burst; commit() hands the burst to the
    // write queue, cut into write units as the mode says. A frame with a @p tag other
    // than 0 is reported by takeWritten() once its last byte is written. In Frame mode a
    // frame with a @p gap is written that long after the one before was written whole.
    void queue(Bytes frame, uint64_t tag = 0, Clock::duration gap = Clock::duration(0));
    void commit(WriteMode mode);
    std::vector<uint64_t> takeWritten();
    bool hasOutput() const { return !units_.empty(); }
    // The socket is to be polled for output: there is output that may be written now
    // (TLS not waiting for input first), or TLS wants to write.
    bool wantsWrite(Clock::time_point now) const {
        return (hasOutput() && nextWrite_ <= now && !writeWaitsForRead_) || tlsWantsWrite();
    }
    // There is work without waiting for poll(): TLS holds input for a read, or a whole
    // frame waits in the input buffer; never while paused.
    bool ready() const;
    // Bytes queued and not yet written, the burst not yet committed included.
    uint64_t queuedBytes() const { return queued_; }
    // When the next write may be made (a --split byte, a unit after its gap).
    Clock::time_point nextWriteAt() const { return nextWrite_; }
    // Writes what is queued; Closed once opt.closeAtBytes bytes are written.
    IoStatus flush(WriteMode mode, Clock::duration byteGap, Clock::time_point now, int &error);

    uint64_t writes() const { return writes_; }
    uint64_t bytesOut() const { return bytesOut_; }

    Options opt;
    // Not read while set: its bytes wait in the socket (the role holds it back).
    bool paused = false;
    // Set by the role: the loop closes the connection for this reason at the end of its turn.
    std::string closeRequest;
    // Until when the device may take to log in (TLS handshake included); cleared, to
    // time_point::max(), once a login is accepted.
    Clock::time_point loginBy = Clock::time_point::max();

    // What the agent knows about the device on this connection.
    bool loggedIn = false;
    bool leaving = false;       // a redirect was sent: no more demo rounds
    uint64_t replyTag = 0;      // of the accepting login reply, to learn when it is written
    uint64_t refusalTag = 0;    // of a refusing login reply: the connection ends once written
    bool replyPending = false;  // a login waits for its reply until replyAt
    DeviceFrame deferredLogin;
    Clock::time_point replyAt;
    Clock::time_point redirectAt = Clock::time_point::max();
    uint32_t session = 0;
    std::string user;
    uint64_t framesRx = 0;
    uint64_t framesTx = 0;
    uint32_t demoSeq = 0;
    Clock::time_point nextDemo;
    Clock::time_point nextTime;

  private:
    ssize_t receive(uint8_t *buf, size_t size, bool &wouldBlock);
    ssize_t transmit(const uint8_t *buf, size_t size, bool &wouldBlock);

    int fd_;
    ssl_st *ssl_ = nullptr;
    std::string tlsFailure_;
    int id_;
    struct Unit {
        Bytes bytes;
        std::vector<uint64_t> tags;
        Clock::duration gap{};
    };
    std::string from_;
    std::string local_;
    Bytes in_;
    size_t inStart_ = 0;  // bytes at the front of in_ already taken as frames
    std::vector<Unit> burst_;
    std::deque<Unit> units_;
    std::vector<uint64_t> written_;
    size_t unitOffset_ = 0;  // bytes of the front unit already written
    Clock::time_point nextWrite_;
    Clock::time_point lastUnitDone_;  // when the last unit was written whole
    bool writeWaitsForRead_ = false;  // TLS must read before it can write again
    uint64_t writes_ = 0;
    uint64_t bytesOut_ = 0;
    uint64_t queued_ = 0;
};

// Input read from one connection per turn of the event loop: frames are cut from the
// front of the buffer, so a bounded buffer keeps that linear, and a flooding device
// cannot starve the others.
constexpr size_t kMaxReadPerTurn = 64 * 1024;

}  // namespace agent

#endif
