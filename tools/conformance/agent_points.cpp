// SPDX-License-Identifier: MIT
// The points on connections to the agent: the port logs in as the library would, reads
// the reply in small pieces, and sees the agent's orderly close and its reset.
#include <algorithm>
#include <cstring>

#include "kit.h"
#include "points.h"
#include "wire.h"

namespace kit {

namespace {

namespace w = devtcp::wire;

constexpr uint32_t RESET_BYTES = 256 * 1024;
// Room past what a read is offered, filled with a mark that a read must leave alone.
constexpr uint32_t GUARD_BYTES = 4096;
constexpr uint8_t GUARD = 0xA5;

// Frames are built and read with the library's own codec.
std::vector<uint8_t> frame(uint32_t uSession, uint8_t ucType, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> bytes(w::frameSize(uint32_t(payload.size()), 0));
    w::writeFrame(bytes.data(), uSession, ucType, payload.data(), uint32_t(payload.size()), nullptr,
                  0);
    return bytes;
}

// Polls SocketCheck (and SocketRecv, as the library does) until the connection is up;
// empty, or what went wrong.
std::string waitConnected(int32_t iSocket, int &iZeros) {
    uint8_t buf[64];
    for (const long long llEnd = nowMs() + WAIT_MS;; pause()) {
        const int32_t iCheck = check(iSocket);
        if (iCheck > 0) return "";
        if (iCheck < 0)
            return format("SocketCheck answered %d for a connection to the agent", iCheck);
        ++iZeros;
        long lMs = 0;
        const int32_t iRead = recv(iSocket, buf, sizeof buf, lMs);
        if (iRead != 0) return format("SocketRecv answered %d while connecting", iRead);
        if (nowMs() > llEnd)
            return format("SocketCheck still answered 0 after %ld ms, with the agent listening",
                          WAIT_MS);
    }
}

// Writes all of @p bytes; empty, or what went wrong.
std::string writeAll(int32_t iSocket, const std::vector<uint8_t> &bytes, int &iShort) {
    size_t uDone = 0;
    for (const long long llEnd = nowMs() + WAIT_MS; uDone < bytes.size();) {
        const uint32_t uOffer = uint32_t(std::min<size_t>(bytes.size() - uDone, 2048));
        long lMs = 0;
        const int32_t iSent = send(iSocket, &bytes[uDone], uOffer, lMs);
        if (iSent < 0 || uint32_t(iSent) > uOffer)
            return format("SocketSend answered %d to %u bytes offered", iSent, uOffer);
        if (uint32_t(iSent) < uOffer) ++iShort;
        uDone += uint32_t(iSent);
        if (iSent == 0 && nowMs() > llEnd)
            return format("SocketSend took nothing for %ld ms", WAIT_MS);
        if (iSent == 0) pause();
    }
    return "";
}

// Reads until @p uWant bytes are there, offering room of 1 to 7 bytes in turn in a
// larger buffer whose rest must stay as it was; empty, or what went wrong.
std::string readSmall(int32_t iSocket, std::vector<uint8_t> &got, uint32_t uWant) {
    std::vector<uint8_t> buf(8 + GUARD_BYTES);
    const long long llEnd = nowMs() + WAIT_MS;
    for (uint32_t uRoom = 1; got.size() < uWant; uRoom = uRoom % 7 + 1) {
        std::fill(buf.begin(), buf.end(), GUARD);
        long lMs = 0;
        const int32_t iRead = recv(iSocket, buf.data(), uRoom, lMs);
        const auto spoilt =
            std::find_if(buf.begin() + uRoom, buf.end(), [](uint8_t uc) { return uc != GUARD; });
        if (iRead < 0 || uint32_t(iRead) > uRoom)
            return format("SocketRecv answered %d with room for %u bytes", iRead, uRoom);
        if (spoilt != buf.end())
            return format(
                "SocketRecv answered %d with room for %u bytes, and stored byte %ld "
                "of the buffer, beyond that room",
                iRead, uRoom, long(spoilt - buf.begin()) + 1);
        got.insert(got.end(), buf.begin(), buf.begin() + iRead);
        if (iRead == 0 && nowMs() > llEnd)
            return format("%ld of the reply's %u bytes came within %ld ms", long(got.size()), uWant,
                          WAIT_MS);
        if (iRead == 0) pause();
    }
    return "";
}

// Reads until a negative answer; empty, or what went wrong. @p lBytes counts the bytes.
std::string readToEnd(int32_t iSocket, long &lBytes) {
    uint8_t buf[2048];
    lBytes = 0;
    for (const long long llEnd = nowMs() + WAIT_MS; nowMs() < llEnd;) {
        long lMs = 0;
        const int32_t iRead = recv(iSocket, buf, sizeof buf, lMs);
        if (iRead < 0) return "";
        if (uint32_t(iRead) > sizeof buf)
            return format("SocketRecv answered %d with room for %u bytes", iRead,
                          uint32_t(sizeof buf));
        lBytes += iRead;
        if (iRead == 0) pause();
    }
    return format("SocketRecv still answered 0 %ld ms after the agent closed the connection",
                  WAIT_MS);
}

// A connection through the port, logged in. With @p bReport every step is a point's
// verdict; without, the first fault is returned (empty when logged in).
struct Login {
    int32_t iSocket = -1;
    uint32_t uSession = 0;
};

std::string logIn(const Agent &agent, Login &login, bool bReport) {
    const auto step = [&](Point point, const std::string &fault, const std::string &said,
                          const char *lpszExpected) {
        if (!bReport) return fault;
        if (fault.empty()) {
            pass(point, said);
        } else {
            fail(point, fault, lpszExpected);
        }
        for (int i = point + 1; i <= READ_SMALL && !fault.empty(); ++i)
            notRun(Point(i), format("it needs '%s', which failed", pointName(point)));
        return fault;
    };
    long lMs = 0;
    if (bReport) begin(OPEN);
    login.iSocket = open(agent.lpszAddr, lMs);
    std::string fault =
        login.iSocket >= 0 ? "" : format("SocketOpen answered %d for the agent", login.iSocket);
    if (!step(OPEN, fault, format("SocketOpen gave handle %d in %ld ms", login.iSocket, lMs),
              "a handle of 0 or more, at once, while the connection is being made")
             .empty())
        return fault;

    if (bReport) begin(CHECK);
    int iZeros = 0;
    fault = waitConnected(login.iSocket, iZeros);
    if (!step(CHECK, fault, format("SocketCheck answered 0 %d times, then above 0", iZeros),
              "0 while connecting (SocketRecv 0 meanwhile), above 0 once connected")
             .empty())
        return fault;

    if (bReport) {
        begin(READ_NOTHING);
        uint8_t buf[64];
        int32_t iRead = 0;
        for (int i = 0; i < 3 && iRead == 0; ++i, pause())
            iRead = recv(login.iSocket, buf, 64, lMs);
        fault = iRead == 0 ? ""
                           : format(
                                 "SocketRecv answered %d on a live connection with nothing "
                                 "waiting",
                                 iRead);
        if (!step(READ_NOTHING, fault, "SocketRecv answered 0 three times",
                  "0 (nothing now): a negative answer makes the library drop a live link")
                 .empty())
            return fault;
        begin(WRITE);
    }
    int iShort = 0;
    fault = writeAll(login.iSocket, loginRequest(agent.lpszUser, agent.lpszPassword), iShort);
    if (!step(WRITE, fault, format("the 264-byte login request went in %d short writes", iShort),
              "0 up to the bytes offered, at once, and every byte taken sent")
             .empty())
        return fault;

    if (bReport) begin(READ_SMALL);
    std::vector<uint8_t> reply;
    fault = readSmall(login.iSocket, reply, w::kHeadSize + w::kLoginReplySize);
    int32_t iResult = 0;
    if (fault.empty() && loginResult(reply, iResult, fault) && iResult != 0)
        fault = format(
            "the agent refused the login with %d: the request it got was not the "
            "one written",
            iResult);
    login.uSession = fault.empty() ? w::readHeader(reply.data()).uSessID : 0;
    return step(READ_SMALL, fault, "the login reply came whole, 1 to 7 bytes at a time",
                "0 up to the room given, nothing stored beyond it, and the agent's reply");
}

// The agent closes the connection after a logout: the port must read that as negative.
void orderlyClose(const Login &login) {
    begin(ORDERLY_CLOSE);
    int iShort = 0;
    long lBytes = 0;
    std::string fault =
        writeAll(login.iSocket, frame(login.uSession, XR_DEV_TCP_MSG_LOGOUT, {}), iShort);
    if (fault.empty()) fault = readToEnd(login.iSocket, lBytes);
    if (fault.empty()) {
        pass(ORDERLY_CLOSE,
             format("after a logout and %ld bytes, SocketRecv answered negative", lBytes));
    } else {
        fail(ORDERLY_CLOSE, fault,
             "a negative SocketRecv once the peer has closed (0 would keep a dead link for 90 s)");
    }
    close(login.iSocket);
}

// The agent closes after a logout with input left unread, which resets the connection.
void resetClose(const Agent &agent) {
    begin(RESET);
    Login login;
    const std::string loginFault = logIn(agent, login, false);
    if (!loginFault.empty()) {
        if (login.iSocket >= 0) close(login.iSocket);
        return fail(RESET, "the second login failed: " + loginFault,
                    "a second login as good as the first");
    }
    std::vector<uint8_t> bytes = frame(login.uSession, XR_DEV_TCP_MSG_LOGOUT, {});
    bytes.resize(RESET_BYTES, 0);  // zero bytes: empty keepalive frames the agent never reads
    size_t uDone = 0;
    int iShort = 0;
    int32_t iLast = 0;
    for (const long long llEnd = nowMs() + WAIT_MS; uDone < bytes.size() && nowMs() < llEnd;) {
        const uint32_t uOffer = uint32_t(std::min<size_t>(bytes.size() - uDone, 2048));
        long lMs = 0;
        iLast = send(login.iSocket, &bytes[uDone], uOffer, lMs);
        if (iLast < 0 || uint32_t(iLast) > uOffer) break;
        if (uint32_t(iLast) < uOffer) ++iShort;
        if (iLast == 0) pause();
        uDone += uint32_t(iLast);
    }
    long lBytes = 0;
    std::string fault = iLast > 0 && uint32_t(iLast) > 2048
                            ? format("SocketSend answered %d to at most 2048 bytes", iLast)
                            : "";
    if (fault.empty()) fault = readToEnd(login.iSocket, lBytes);
    if (fault.empty()) {
        pass(RESET, format("%ld bytes written (%d short writes, the last answer %d), then "
                           "SocketRecv answered negative",
                           long(uDone), iShort, iLast));
    } else {
        fail(RESET, fault,
             "writes of 0 up to the bytes offered or negative, and a negative SocketRecv");
    }
    close(login.iSocket);
}

}  // namespace

std::vector<uint8_t> loginRequest(const char *lpszUser, const char *lpszPassword) {
    std::vector<uint8_t> payload(w::kLoginReqSize);
    w::writeLoginRequest(payload.data(), lpszUser, lpszPassword);
    return frame(0, XR_DEV_TCP_MSG_LOGIN, payload);
}

bool loginResult(const std::vector<uint8_t> &reply, int32_t &iResult, std::string &fault) {
    if (reply.size() < w::kHeadSize + 4 ||
        w::readHeader(reply.data()).uType != XR_DEV_TCP_MSG_LOGIN) {
        fault =
            format("the first %u bytes that came are not a login reply", uint32_t(reply.size()));
        return false;
    }
    iResult = int32_t(w::readLe32(&reply[w::kHeadSize]));
    return true;
}

void agentPoints(const Agent &agent) {
    Login login;
    if (logIn(agent, login, true).empty()) {
        orderlyClose(login);
        resetClose(agent);
        return;
    }
    if (login.iSocket >= 0) close(login.iSocket);
    notRun(ORDERLY_CLOSE,
           "it needs a logged-in connection, which the points before it did not give");
    notRun(RESET, "it needs a logged-in connection, which the points before it did not give");
}

}  // namespace kit
