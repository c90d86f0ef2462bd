#include "connection.h"

#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

namespace agent {

Connection::Connection(int fd, int id, std::string from)
    : fd_(fd), id_(id), from_(std::move(from)) {}

Connection::~Connection() {
    if (fd_ >= 0) ::close(fd_);
}

IoStatus Connection::readAvailable(int &error) {
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            in_.insert(in_.end(), buf, buf + n);
            if (size_t(n) < sizeof buf) return IoStatus::Ok;
            continue;
        }
        if (n == 0) return IoStatus::Closed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return IoStatus::Ok;
        error = errno;
        return IoStatus::Failed;
    }
}

void Connection::queue(Bytes frame) {
    burst_.push_back(std::move(frame));
    ++framesTx;
}

void Connection::commit(WriteMode mode) {
    if (burst_.empty()) return;
    if (mode == WriteMode::Coalesce) {
        Bytes joined;
        for (const auto &f : burst_) joined.insert(joined.end(), f.begin(), f.end());
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
        const Bytes &unit = units_.front();
        size_t want = mode == WriteMode::Split ? 1 : unit.size() - unitOffset_;
        ssize_t n = ::send(fd_, unit.data() + unitOffset_, want, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return IoStatus::Ok;
            error = errno;
            return IoStatus::Failed;
        }
        ++writes_;
        bytesOut_ += uint64_t(n);
        unitOffset_ += size_t(n);
        if (unitOffset_ == unit.size()) {
            units_.pop_front();
            unitOffset_ = 0;
        }
        if (mode == WriteMode::Split) nextWrite_ = now + byteGap;
    }
    return IoStatus::Ok;
}

}  // namespace agent
