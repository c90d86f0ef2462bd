// SPDX-License-Identifier: MIT
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "behaviour.h"
#include "connection.h"
#include "role.h"
#include "scenario.h"

namespace agent {

namespace {

bool setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

bool parseAddress(const std::string &text, sockaddr_in &sa) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) return false;
    std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5) return false;
    unsigned long p = std::stoul(port);
    if (p > 65535) return false;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(p));
    return inet_pton(AF_INET, host.c_str(), &sa.sin_addr) == 1;
}

namespace {

std::string addressText(const sockaddr_in &sa) {
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &sa.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(sa.sin_port));
}

}  // namespace

// Failures go to stderr; a JSON reader gets them as an event too.
void fail(Output &out, const std::string &message) {
    if (out.json()) out.emit(Event("error", 0, Level::Warn).str("message", message));
    std::fprintf(stderr, "devtcp-agent: %s\n", message.c_str());
}

namespace {

// A non-blocking listening socket on @p text, reported in an @p event line, or -1.
int listenOn(const std::string &text, const char *event, Output &out, std::string &addr) {
    sockaddr_in sa{};
    parseAddress(text, sa);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) ||
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) || ::listen(fd, 64) ||
        !setNonBlocking(fd)) {
        fail(out, "cannot listen on " + text + ": " + std::strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    addr = addressText(sa);
    out.emit(Event(event, 0, Level::Summary).str("addr", addr).num("port", ntohs(sa.sin_port)));
    return fd;
}

int signalPipe[2] = {-1, -1};

// Output waiting for one device, beyond what its socket holds: far above any scenario's
// burst, far below what hurts the machine.
constexpr uint64_t kMaxWriteQueue = 1024 * 1024;
constexpr unsigned kAcceptPauseMs = 100;

void onSignal(int sig) {
    int saved = errno;
    unsigned char b = uint8_t(sig);
    if (write(signalPipe[1], &b, 1) < 0) {
        // Nothing to do: a byte already waiting wakes the loop all the same.
    }
    errno = saved;
}

class Server {
  public:
    Server(const Options &o, Output &out, Role &role) : opt_(o), out_(out), role_(role) {}
    ~Server() {
        for (int fd : listenFds_) close(fd);
    }
    int listen();
    int run();

  private:
    void acceptAll(int fd, const std::string &local);
    void drop(size_t index, const std::string &reason, int error);
    int pollTimeoutMs(Clock::time_point now) const;

    const Options &opt_;
    Output &out_;
    Role &role_;
    TlsServer tls_;
    bool useTls_ = false;
    // The listening sockets and their addresses: chaos mode adds two more addresses.
    std::vector<int> listenFds_;
    std::vector<std::string> addrs_;
    // After accept() ran out of descriptors (or memory): no accept until then, and one
    // warning per such spell, not one per try.
    Clock::time_point acceptPausedUntil_;
    bool acceptWarned_ = false;
    int nextId_ = 1;
    std::vector<std::unique_ptr<Connection>> conns_;
    // Beside each connection: why it is to be closed at the end of this turn, or "".
    std::vector<std::pair<std::string, int>> closing_;
};

int Server::listen() {
    sockaddr_in sa{};
    if (!parseAddress(opt_.listen, sa)) {
        fail(out_, "bad listen address '" + opt_.listen + "' (want IPv4 HOST:PORT)");
        return kExitUsage;
    }
    std::string error;
    useTls_ = !opt_.tlsCert.empty();
    if (useTls_ && !tls_.load(opt_.tlsCert, opt_.tlsKey, error)) {
        fail(out_, error);
        return kExitUsage;
    }
    for (size_t i = 0; i < (opt_.chaos ? 3u : 1u); ++i) {
        // Further addresses: the same host, free ports.
        std::string text = i ? opt_.listen.substr(0, opt_.listen.rfind(':')) + ":0" : opt_.listen;
        std::string addr;
        int fd = listenOn(text, i ? "alt_listening" : "listening", out_, addr);
        if (fd < 0) return kExitUsage;
        listenFds_.push_back(fd);
        addrs_.push_back(addr);
        role_.onListen(addr);
    }
    return kExitOk;
}

void Server::acceptAll(int listenFd, const std::string &local) {
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept(listenFd, reinterpret_cast<sockaddr *>(&peer), &len);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                acceptWarned_ = false;  // every waiting connection was taken
                return;
            }
            // Out of descriptors (EMFILE) or memory, the connection stays in the backlog
            // and the socket readable: polling again at once would spin. Wait a little
            // each time, and say it once for the whole spell.
            acceptPausedUntil_ = Clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
            if (!acceptWarned_)
                out_.emit(Event("warning", 0, Level::Warn)
                              .str("message", std::string("accept: ") + std::strerror(error) +
                                                  "; trying again every " +
                                                  std::to_string(kAcceptPauseMs) + " ms"));
            acceptWarned_ = true;
            return;
        }
        // Without Nagle's delay each write leaves as its own segment, which is what
        // --split relies on to deliver a frame in pieces.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (!setNonBlocking(fd)) {
            close(fd);
            continue;
        }
        ssl_st *ssl = useTls_ ? tls_.accept(fd) : nullptr;
        if (useTls_ && !ssl) {
            out_.emit(Event("warning", 0, Level::Warn).str("message", "no TLS session"));
            close(fd);
            continue;
        }
        conns_.push_back(
            std::make_unique<Connection>(fd, nextId_++, addressText(peer), local, opt_));
        conns_.back()->useTls(ssl);
        if (opt_.loginTimeoutMs)
            conns_.back()->loginBy = Clock::now() + std::chrono::milliseconds(opt_.loginTimeoutMs);
        closing_.emplace_back();
        if (const char *why = role_.onConnect(*conns_.back())) closing_.back() = {why, 0};
    }
}

int Server::pollTimeoutMs(Clock::time_point now) const {
    // Echo expiry runs at least once a second.
    Clock::time_point due = std::min(now + std::chrono::seconds(1), role_.due());
    if (acceptPausedUntil_ > now) due = std::min(due, acceptPausedUntil_);
    for (const auto &c : conns_) {
        if (c->ready()) return 0;
        due = std::min(due, std::min(role_.nextDue(*c), c->loginBy));
        // Output held back by time, not by the socket: poll() does not wake for it.
        if (c->hasOutput() && c->nextWriteAt() > now) due = std::min(due, c->nextWriteAt());
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
    return int(std::max<long long>(0, ms));
}

int Server::run() {
    for (;;) {
        Clock::time_point now = Clock::now();
        std::vector<pollfd> fds;
        fds.push_back({signalPipe[0], POLLIN, 0});
        const short acceptEvents = now >= acceptPausedUntil_ ? POLLIN : 0;
        for (int fd : listenFds_) fds.push_back({fd, acceptEvents, 0});
        for (const auto &c : conns_) {
            // A paused connection is not read; polled for output only, so that a hang-up
            // it cannot read does not wake the loop again and again.
            const short events =
                short((c->paused ? 0 : POLLIN) | (c->wantsWrite(now) ? POLLOUT : 0));
            fds.push_back({events ? c->fd() : -1, events, 0});
        }
        int n = poll(fds.data(), fds.size(), pollTimeoutMs(now));
        if (n < 0 && errno != EINTR) {
            fail(out_, std::string("poll: ") + std::strerror(errno));
            return kExitFailure;
        }
        if (n > 0 && fds[0].revents) {
            unsigned char sig = 0;
            if (read(signalPipe[0], &sig, 1) == 1) {
                for (size_t i = conns_.size(); i-- > 0;) drop(i, kReasonShutdown, 0);
                return role_.finish(sig == SIGINT ? "SIGINT" : "SIGTERM");
            }
        }
        now = Clock::now();
        for (size_t i = 0; i < listenFds_.size(); ++i)
            if (n > 0 && fds[1 + i].revents) acceptAll(listenFds_[i], addrs_[i]);

        // Connections accepted just now were not polled; their turn comes next time.
        const size_t first = 1 + listenFds_.size();
        size_t polled = fds.size() - first;
        for (size_t i = 0; i < conns_.size(); ++i) {
            Connection &c = *conns_[i];
            short revents = i < polled ? fds[i + first].revents : 0;
            int error = 0;
            if (!c.paused &&
                ((revents & (POLLIN | POLLHUP | POLLERR)) || c.tlsWantsWrite() || c.ready())) {
                IoStatus st = c.readAvailable(error);
                // Frames that arrived before a close are handled all the same, until the
                // role pauses the connection or its answers fill the write queue.
                DeviceFrame f;
                while (closing_[i].first.empty() && !c.paused &&
                       c.queuedBytes() <= kMaxWriteQueue && c.takeFrame(f)) {
                    if (const char *why = role_.onFrame(c, f, now)) closing_[i] = {why, 0};
                }
                if (closing_[i].first.empty() && st == IoStatus::Closed)
                    closing_[i] = {"closed by device", 0};
                if (closing_[i].first.empty() && st == IoStatus::Failed)
                    closing_[i] = {c.tlsFailure().empty() ? "read failed" : c.tlsFailure(), error};
            }
            if (closing_[i].first.empty() && now >= c.loginBy)
                closing_[i] = {"no login within " + std::to_string(opt_.loginTimeoutMs) + " ms", 0};
            if (!closing_[i].first.empty()) continue;
            role_.onTimer(c, now);
            c.commit(c.opt.writeMode);
            IoStatus st =
                c.flush(c.opt.writeMode, std::chrono::milliseconds(c.opt.byteGapMs), now, error);
            role_.onWritten(c);
            if (st == IoStatus::Failed)
                closing_[i] = {c.tlsFailure().empty() ? "write failed" : c.tlsFailure(), error};
            if (st == IoStatus::Closed) closing_[i] = {"close-at-bytes", 0};
            // A device that sends and never reads would grow the queue without end.
            if (closing_[i].first.empty() && c.queuedBytes() > kMaxWriteQueue) {
                closing_[i] = {"write queue over " + std::to_string(kMaxWriteQueue) + " bytes", 0};
                out_.emit(Event("warning", c.id(), Level::Warn)
                              .str("message", "the device reads nothing: " + closing_[i].first));
            }
        }
        role_.onTurn(now);
        for (size_t i = 0; i < conns_.size(); ++i)
            if (closing_[i].first.empty() && !conns_[i]->closeRequest.empty())
                closing_[i] = {conns_[i]->closeRequest, 0};
        for (size_t i = conns_.size(); i-- > 0;)
            if (!closing_[i].first.empty()) drop(i, closing_[i].first, closing_[i].second);
        if (role_.done()) {
            for (size_t i = conns_.size(); i-- > 0;) drop(i, kReasonShutdown, 0);
            return role_.finish("");
        }
    }
}

void Server::drop(size_t i, const std::string &reason, int error) {
    role_.onClose(*conns_[i], reason, error);
    conns_.erase(conns_.begin() + long(i));
    closing_.erase(closing_.begin() + long(i));
}

}  // namespace

int runServer(const Options &options, Output &out) {
    if (pipe(signalPipe) != 0 || !setNonBlocking(signalPipe[0]) || !setNonBlocking(signalPipe[1])) {
        fail(out, std::string("pipe: ") + std::strerror(errno));
        return kExitFailure;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<Role> role;
    if (options.scenario.empty()) {
        role = std::make_unique<Behaviour>(options, out);
    } else {
        std::string error;
        role = makePlayer(options, out, error);
        if (!role) {
            if (!error.empty()) fail(out, error);
            return error.empty() ? kExitOk : kExitUsage;  // --check stops after the reading
        }
    }
    Server server(options, out, *role);
    int status = server.listen();
    if (status != kExitOk) return status;
    return server.run();
}

}  // namespace agent
