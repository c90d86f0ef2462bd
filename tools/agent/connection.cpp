// SPDX-License-Identifier: MIT
#include "connection.h"

#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

#include "wire.h"

namespace agent {

namespace {

// The length of the frame at @p p, which holds its header at least.
size_t frameLength(const uint8_t *p) {
    return devtcp::wire::kHeadSize + devtcp::wire::readHeader(p).uPayload;
}

constexpr size_t kHeadSize = devtcp::wire::kHeadSize;

}  // namespace

Connection::Connection(int fd, int id, std::string from, std::string local, const Options &o)
    : opt(o), fd_(fd), id_(id), from_(std::move(from)), local_(std::move(local)) {}

Connection::~Connection() {
    tlsFree(ssl_);
    if (fd_ >= 0) ::close(fd_);
}

// recv() and send(), or their TLS counterparts; EINTR is "not now" too.
ssize_t Connection::receive(uint8_t *buf, size_t size, bool &wouldBlock) {
    if (ssl_) return tlsRead(ssl_, buf, size, wouldBlock, tlsFailure_);
    ssize_t n = ::recv(fd_, buf, size, 0);
    wouldBlock = n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK);
    return n;
}

ssize_t Connection::transmit(const uint8_t *buf, size_t size, bool &wouldBlock) {
    if (ssl_) {
        ssize_t n = tlsWrite(ssl_, buf, size, wouldBlock, tlsFailure_);
        writeWaitsForRead_ = wouldBlock && tlsWantsRead(ssl_);
        return n;
    }
    ssize_t n = ::send(fd_, buf, size, MSG_NOSIGNAL);
    wouldBlock = n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK);
    return n;
}

bool Connection::ready() const {
    if (paused) return false;
    if (tlsHasPending() && in_.size() - inStart_ < kMaxReadPerTurn) return true;
    size_t held = in_.size() - inStart_;
    return held >= kHeadSize && held >= frameLength(in_.data() + inStart_);
}

bool Connection::takeFrame(DeviceFrame &f) {
    size_t n = readFrame(in_.data() + inStart_, in_.size() - inStart_, f);
    inStart_ += n;
    // The bytes taken go at once when nothing is left, else once they are most of the
    // buffer: moving what is left costs no more than what was taken.
    if (inStart_ == in_.size() || (n == 0 && inStart_ > 0) || inStart_ > in_.size() / 2) {
        in_.erase(in_.begin(), in_.begin() + long(inStart_));
        inStart_ = 0;
    }
    return n > 0;
}

IoStatus Connection::readAvailable(int &error) {
    uint8_t buf[4096];
    writeWaitsForRead_ = false;  // what TLS waited for may be here: the next write tries
    while (in_.size() - inStart_ < kMaxReadPerTurn) {
        bool wouldBlock = false;
        ssize_t n = receive(buf, sizeof buf, wouldBlock);
        if (n > 0) {
            in_.insert(in_.end(), buf, buf + n);
            // TLS may hold more of a record than one read takes: read until "not now"
            // (what is left past the bound, tlsHasPending() tells).
            if (size_t(n) < sizeof buf && !ssl_) return IoStatus::Ok;
            continue;
        }
        if (n == 0) return IoStatus::Closed;
        if (wouldBlock) return IoStatus::Ok;
        error = errno;
        return IoStatus::Failed;
    }
    return IoStatus::Ok;
}

void Connection::queue(Bytes frame, uint64_t tag, Clock::duration gap) {
    queued_ += frame.size();
    burst_.push_back({std::move(frame), {}, gap});
    if (tag) burst_.back().tags.push_back(tag);
    ++framesTx;
}

std::vector<uint64_t> Connection::takeWritten() {
    std::vector<uint64_t> out;
    out.swap(written_);
    return out;
}

void Connection::commit(WriteMode mode) {
    if (burst_.empty()) return;
    if (mode == WriteMode::Coalesce) {
        Unit joined;
        for (const auto &f : burst_) {
            joined.bytes.insert(joined.bytes.end(), f.bytes.begin(), f.bytes.end());
            joined.tags.insert(joined.tags.end(), f.tags.begin(), f.tags.end());
        }
        units_.push_back(std::move(joined));
    } else {
        // Split mode paces single bytes at flush time; its units stay whole frames.
        for (auto &f : burst_) units_.push_back(std::move(f));
    }
    burst_.clear();
}

IoStatus Connection::flush(WriteMode mode, Clock::duration byteGap, Clock::time_point now,
                           int &error) {
    while (!units_.empty()) {
        if (mode == WriteMode::Split && now < nextWrite_) return IoStatus::Ok;
        const Clock::duration gap = units_.front().gap;
        if (mode == WriteMode::Frame && unitOffset_ == 0 && now < lastUnitDone_ + gap) {
            nextWrite_ = lastUnitDone_ + gap;
            return IoStatus::Ok;
        }
        if (opt.closeAtBytes && bytesOut_ >= opt.closeAtBytes) return IoStatus::Closed;
        const Bytes &unit = units_.front().bytes;
        size_t want = mode == WriteMode::Split ? 1 : unit.size() - unitOffset_;
        if (opt.closeAtBytes) want = std::min<uint64_t>(want, opt.closeAtBytes - bytesOut_);
        bool wouldBlock = false;
        ssize_t n = transmit(unit.data() + unitOffset_, want, wouldBlock);
        if (n < 0) {
            if (wouldBlock) return IoStatus::Ok;
            error = errno;
            return IoStatus::Failed;
        }
        ++writes_;
        bytesOut_ += uint64_t(n);
        queued_ -= uint64_t(n);
        unitOffset_ += size_t(n);
        if (unitOffset_ == unit.size()) {
            const auto &tags = units_.front().tags;
            written_.insert(written_.end(), tags.begin(), tags.end());
            units_.pop_front();
            unitOffset_ = 0;
            lastUnitDone_ = now;
        }
        if (mode == WriteMode::Split) nextWrite_ = now + byteGap;
    }
    return opt.closeAtBytes && bytesOut_ >= opt.closeAtBytes ? IoStatus::Closed : IoStatus::Ok;
}

}  // namespace agent
