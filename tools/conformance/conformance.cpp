// SPDX-License-Identifier: MIT
// devtcp-conformance: checks a socket table against the contract that the link library
// relies on, over real connections to a running devtcp-agent, and prints one verdict
// per point with what was expected. The table comes from ConformancePort(), which the
// porter supplies (conformance.h).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "conformance.h"
#include "wire.h"

namespace {

namespace w = devtcp::wire;
using Clock = std::chrono::steady_clock;

// A call that takes longer blocks: the library would stall every link with it.
constexpr long AT_ONCE_MS = 500;
// A call that has not returned by then never will: the kit ends with a verdict.
constexpr long BLOCKED_MS = 5000;
// How long the kit waits for what the agent does (connect, answer, close).
constexpr long WAIT_MS = 3000;
constexpr long POLL_MS = 10;

constexpr uint32_t RESET_BYTES = 256 * 1024;

const char kUsage[] =
    "Usage: %s --agent ADDR [--refused ADDR] [--user NAME] [--password TEXT] [-- PORT ARGS]\n"
    "\n"
    "Checks this program's socket table against the contract of the devtcp link library,\n"
    "over real connections to a devtcp-agent listening on ADDR, and prints a verdict per\n"
    "point, then 'N passed, N failed'. Exit status 0 when every point passed, 1 otherwise,\n"
    "2 for a bad command line or a port that cannot be set up.\n"
    "\n"
    "  --agent ADDR     the agent, in the port's address form (a.b.c.d:port for ours)\n"
    "  --refused ADDR   an address where nothing listens (default: the agent's host, port 1)\n"
    "  --user NAME      the user name of the logins (default conformance)\n"
    "  --password TEXT  their password (default 5820, the agent's default)\n"
    "  -- PORT ARGS     the rest goes to the port's set-up (a CA file and a server name\n"
    "                   for the TLS port)\n";

const XR_DEV_TCP_SOCKET_CALLBACK_S *g_lpPort = nullptr;
int g_iPassed = 0;
int g_iFailed = 0;

// The name of the call under way and its deadline, for the watchdog.
std::atomic<const char *> g_lpszCall{nullptr};
std::atomic<long long> g_llDeadline{0};

void verdict(bool bPass, const char *lpszPoint, const std::string &said, const char *lpszExpected) {
    (bPass ? g_iPassed : g_iFailed)++;
    std::printf("%s %s: %s", bPass ? "PASS" : "FAIL", lpszPoint, said.c_str());
    if (!bPass) std::printf("; expected %s", lpszExpected);
    std::printf("\n");
    std::fflush(stdout);
}

std::string format(const char *lpszFormat, long lA, long lB = 0, long lC = 0) {
    char szText[256];
    std::snprintf(szText, sizeof szText, lpszFormat, lA, lB, lC);
    return szText;
}

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

void watchdog() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const char *lpszCall = g_lpszCall.load();
        if (lpszCall != nullptr && nowMs() > g_llDeadline.load()) {
            std::printf(
                "FAIL %s did not return within %ld ms; expected every operation to "
                "return at once\n%d passed, %d failed\n",
                lpszCall, BLOCKED_MS, g_iPassed, g_iFailed + 1);
            std::fflush(stdout);
            std::_Exit(1);
        }
    }
}

// Runs one operation of the port under the watchdog; @p lElapsedMs gets its duration.
template <typename Call>
int32_t timed(const char *lpszName, long &lElapsedMs, Call call) {
    const long long llStart = nowMs();
    g_llDeadline = llStart + BLOCKED_MS;
    g_lpszCall = lpszName;
    const int32_t iResult = call();
    g_lpszCall = nullptr;
    lElapsedMs = static_cast<long>(nowMs() - llStart);
    if (lElapsedMs > AT_ONCE_MS)
        verdict(false, "at once", lpszName + format(" took %ld ms", lElapsedMs),
                "every operation to return within 500 ms");
    return iResult;
}

void pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
}

// Frames are built and read with the library's own codec.
std::vector<uint8_t> frame(uint32_t uSession, uint8_t ucType, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> bytes(w::frameSize(uint32_t(payload.size()), 0));
    w::writeFrame(bytes.data(), uSession, ucType, payload.data(), uint32_t(payload.size()), nullptr,
                  0);
    return bytes;
}

std::vector<uint8_t> loginRequest(const char *lpszUser, const char *lpszPassword) {
    std::vector<uint8_t> payload(w::kLoginReqSize);
    w::writeLoginRequest(payload.data(), lpszUser, lpszPassword);
    return frame(0, XR_DEV_TCP_MSG_LOGIN, payload);
}

// Polls SocketCheck (and SocketRecv, as the library does) until the connection is up.
// @return the last check's answer; @p iZeros counts the 0 answers before it.
int32_t waitConnected(int32_t iSocket, int &iZeros, std::string &fault) {
    uint8_t buf[64];
    for (const long long llEnd = nowMs() + WAIT_MS; nowMs() < llEnd; pause()) {
        long lMs = 0;
        const int32_t iCheck =
            timed("SocketCheck", lMs, [&] { return g_lpPort->SocketCheck(iSocket); });
        if (iCheck != 0) return iCheck;
        ++iZeros;
        const int32_t iRead = timed("SocketRecv", lMs,
                                    [&] { return g_lpPort->SocketRecv(iSocket, buf, sizeof buf); });
        if (iRead != 0) {
            fault = format("SocketRecv answered %ld while connecting", iRead);
            return 0;
        }
    }
    return 0;
}

// Writes all of @p bytes; false with @p said set when a write breaks the contract or
// fails. @p iShort counts writes that took less than offered (0 included).
bool writeAll(int32_t iSocket, const std::vector<uint8_t> &bytes, int &iShort, std::string &said) {
    size_t uDone = 0;
    const long long llEnd = nowMs() + WAIT_MS;
    while (uDone < bytes.size()) {
        const uint32_t uOffer = static_cast<uint32_t>(std::min<size_t>(bytes.size() - uDone, 2048));
        long lMs = 0;
        const int32_t iSent = timed("SocketSend", lMs, [&] {
            return g_lpPort->SocketSend(iSocket, &bytes[uDone], uOffer);
        });
        if (iSent < 0 || static_cast<uint32_t>(iSent) > uOffer) {
            said = format("SocketSend answered %ld to %ld bytes offered, in %ld ms", iSent, uOffer,
                          lMs);
            return false;
        }
        if (static_cast<uint32_t>(iSent) < uOffer) ++iShort;
        uDone += static_cast<uint32_t>(iSent);
        if (iSent == 0) {
            if (nowMs() > llEnd) {
                said = format("SocketSend took nothing for %ld ms", WAIT_MS);
                return false;
            }
            pause();
        }
    }
    return true;
}

// Reads until @p uWant bytes are there, offering room of 1 to 7 bytes in turn; false
// with @p said set when a read breaks the contract or fails.
bool readSmall(int32_t iSocket, std::vector<uint8_t> &got, uint32_t uWant, std::string &said) {
    uint8_t buf[8];
    const long long llEnd = nowMs() + WAIT_MS;
    for (uint32_t uRoom = 1; got.size() < uWant; uRoom = uRoom % 7 + 1) {
        std::memset(buf, 0xA5, sizeof buf);
        long lMs = 0;
        const int32_t iRead =
            timed("SocketRecv", lMs, [&] { return g_lpPort->SocketRecv(iSocket, buf, uRoom); });
        if (iRead < 0 || static_cast<uint32_t>(iRead) > uRoom || buf[uRoom] != 0xA5) {
            said = format("SocketRecv answered %ld with room for %ld bytes, in %ld ms", iRead,
                          uRoom, lMs);
            return false;
        }
        got.insert(got.end(), buf, buf + iRead);
        if (iRead == 0) {
            if (nowMs() > llEnd) {
                said = format("%ld of %ld bytes came", long(got.size()), long(uWant));
                return false;
            }
            pause();
        }
    }
    return true;
}

// Reads until a negative answer; false with @p said set when none comes in time or a
// read breaks the contract.
bool readToEnd(int32_t iSocket, std::string &said, long &lBytes) {
    uint8_t buf[2048];
    lBytes = 0;
    for (const long long llEnd = nowMs() + WAIT_MS; nowMs() < llEnd;) {
        long lMs = 0;
        const int32_t iRead = timed("SocketRecv", lMs,
                                    [&] { return g_lpPort->SocketRecv(iSocket, buf, sizeof buf); });
        if (iRead < 0) return true;
        if (static_cast<uint32_t>(iRead) > sizeof buf) {
            said =
                format("SocketRecv answered %ld with room for %ld bytes", iRead, long(sizeof buf));
            return false;
        }
        lBytes += iRead;
        if (iRead == 0) pause();
    }
    said = format("SocketRecv still answered 0 or more %ld ms after the agent closed", WAIT_MS);
    return false;
}

struct Link {
    int32_t iSocket = -1;
    uint32_t uSession = 0;
};

// Opens, connects and logs in; false (after a verdict) when that does not work.
bool logIn(const char *lpszAgent, const char *lpszUser, const char *lpszPassword, Link &link,
           bool bReport) {
    long lMs = 0;
    link.iSocket = timed("SocketOpen", lMs, [&] { return g_lpPort->SocketOpen(lpszAgent); });
    if (bReport || link.iSocket < 0)
        verdict(link.iSocket >= 0, "open",
                format("SocketOpen gave handle %ld in %ld ms", link.iSocket, lMs),
                "a handle of 0 or more, at once, while the connection is being made");
    if (link.iSocket < 0) return false;
    int iZeros = 0;
    std::string fault;
    const int32_t iCheck = waitConnected(link.iSocket, iZeros, fault);
    if (bReport || iCheck <= 0 || !fault.empty())
        verdict(iCheck > 0 && fault.empty(), "check",
                fault.empty() ? format("SocketCheck answered 0 %ld times, then %ld", iZeros, iCheck)
                              : fault,
                "0 while connecting (SocketRecv 0 meanwhile), above 0 once connected, at once");
    if (iCheck <= 0 || !fault.empty()) return false;
    if (bReport) {
        uint8_t buf[64];
        int32_t iWorst = 0;
        for (int i = 0; i < 3 && iWorst == 0; ++i, pause())
            iWorst = timed("SocketRecv", lMs,
                           [&] { return g_lpPort->SocketRecv(link.iSocket, buf, sizeof buf); });
        verdict(iWorst == 0, "read with nothing waiting",
                format("SocketRecv answered %ld in %ld ms", iWorst, lMs),
                "0 (nothing now), at once");
    }
    int iShort = 0;
    std::string said;
    const bool bSent = writeAll(link.iSocket, loginRequest(lpszUser, lpszPassword), iShort, said);
    if (bReport || !bSent)
        verdict(
            bSent, "write",
            bSent ? format("the 264-byte login request went in %ld short writes", iShort) : said,
            "0 up to the bytes offered, at once, and every byte taken sent");
    if (!bSent) return false;
    std::vector<uint8_t> reply;
    bool bRead = readSmall(link.iSocket, reply, w::kHeadSize + w::kLoginReplySize, said);
    int32_t iResult = bRead ? static_cast<int32_t>(w::readLe32(&reply[w::kHeadSize])) : 0;
    if (bRead && (w::readHeader(reply.data()).uType != XR_DEV_TCP_MSG_LOGIN || iResult != 0)) {
        said = format("the agent answered type %ld, result %ld (check --user and --password)",
                      reply[w::kOffType], iResult);
        bRead = false;
    }
    if (bReport || !bRead)
        verdict(
            bRead, "read in small pieces",
            bRead ? std::string("the login reply came whole, 1 to 7 bytes at a time") : said,
            "0 up to the room given, nothing stored beyond it, and the agent's accepting reply");
    link.uSession = bRead ? w::readHeader(reply.data()).uSessID : 0;
    return bRead;
}

void closeSocket(int32_t iSocket) {
    long lMs = 0;
    timed("SocketClose", lMs, [&] {
        g_lpPort->SocketClose(iSocket);
        return 0;
    });
}

// The agent closes the connection after a logout: the port must read that as negative.
void orderlyClose(const Link &link) {
    int iShort = 0;
    std::string said;
    long lBytes = 0;
    const bool bPass =
        writeAll(link.iSocket, frame(link.uSession, XR_DEV_TCP_MSG_LOGOUT, {}), iShort, said) &&
        readToEnd(link.iSocket, said, lBytes);
    verdict(
        bPass, "the peer's orderly close",
        bPass ? format("after a logout and %ld bytes, SocketRecv answered negative", lBytes) : said,
        "a negative SocketRecv once the agent has closed (0 would keep a dead link for 90 s)");
    closeSocket(link.iSocket);
}

// The agent closes after a logout with input left unread, which resets the connection.
void resetClose(const Link &link) {
    std::vector<uint8_t> bytes = frame(link.uSession, XR_DEV_TCP_MSG_LOGOUT, {});
    bytes.resize(RESET_BYTES, 0);  // zero bytes: empty keepalive frames the agent never reads
    size_t uDone = 0;
    int iShort = 0;
    int32_t iLast = 0;
    const long long llEnd = nowMs() + WAIT_MS;
    while (uDone < bytes.size() && nowMs() < llEnd) {
        const uint32_t uOffer = static_cast<uint32_t>(std::min<size_t>(bytes.size() - uDone, 2048));
        long lMs = 0;
        iLast = timed("SocketSend", lMs,
                      [&] { return g_lpPort->SocketSend(link.iSocket, &bytes[uDone], uOffer); });
        if (iLast < 0 || static_cast<uint32_t>(iLast) > uOffer) break;
        if (static_cast<uint32_t>(iLast) < uOffer) ++iShort;
        if (iLast == 0) pause();
        uDone += static_cast<uint32_t>(iLast);
    }
    std::string said;
    long lBytes = 0;
    const bool bPass = readToEnd(link.iSocket, said, lBytes);
    verdict(bPass, "the peer's reset",
            bPass ? format("%ld bytes written (%ld short writes, the last answer %ld), then "
                           "SocketRecv answered negative",
                           long(uDone), iShort, iLast)
                  : said,
            "writes of 0 up to the bytes offered or negative, and a negative SocketRecv");
    closeSocket(link.iSocket);
}

// Where nothing listens: the port may refuse at once, or fail the read, or fail or
// never pass the check; it must never report the connection as made.
void refused(const char *lpszRefused) {
    long lMs = 0;
    const int32_t iSocket =
        timed("SocketOpen", lMs, [&] { return g_lpPort->SocketOpen(lpszRefused); });
    if (iSocket < 0) {
        verdict(true, "a refused connection",
                format("SocketOpen answered %ld in %ld ms: refused at once", iSocket, lMs),
                "an answer at once");
        return;
    }
    uint8_t buf[64];
    std::string how = format(
        "SocketCheck 0 for %ld ms: silent, the library's 30 s login "
        "timeout ends the attempt",
        WAIT_MS);
    bool bPass = true;
    for (const long long llEnd = nowMs() + WAIT_MS; nowMs() < llEnd; pause()) {
        const int32_t iCheck =
            timed("SocketCheck", lMs, [&] { return g_lpPort->SocketCheck(iSocket); });
        if (iCheck != 0) {
            bPass = iCheck < 0;
            how = format("SocketCheck answered %ld", iCheck);
            how += iCheck < 0 ? ": a failure the library reports as -3 on every tick"
                              : ": connected where nothing listens";
            break;
        }
        const int32_t iRead = timed("SocketRecv", lMs,
                                    [&] { return g_lpPort->SocketRecv(iSocket, buf, sizeof buf); });
        if (iRead != 0) {
            bPass = iRead < 0;
            how = format("SocketRecv answered %ld", iRead);
            how += iRead < 0 ? ": the library resets the link at once (Offline, back-off)"
                             : ": data from where nothing listens";
            break;
        }
    }
    verdict(bPass, "a refused connection", how,
            "a negative SocketOpen, SocketCheck or SocketRecv, or a SocketCheck that stays 0");
    closeSocket(iSocket);
    verdict(true, "close of a socket that never connected", "SocketClose returned", "");
}

const char *optionValue(int &i, int argc, char **argv) {
    return i + 1 < argc ? argv[++i] : nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    const char *lpszAgent = nullptr;
    std::string refusedAddr;
    const char *lpszUser = "conformance";
    const char *lpszPassword = "5820";
    int iPortArgs = argc;
    for (int i = 1; i < argc; ++i) {
        const char *lpszArg = argv[i];
        const char **lppValue = std::strcmp(lpszArg, "--agent") == 0      ? &lpszAgent
                                : std::strcmp(lpszArg, "--user") == 0     ? &lpszUser
                                : std::strcmp(lpszArg, "--password") == 0 ? &lpszPassword
                                                                          : nullptr;
        if (std::strcmp(lpszArg, "--") == 0) {
            iPortArgs = i + 1;
            break;
        }
        if (std::strcmp(lpszArg, "--refused") == 0 && i + 1 < argc) {
            refusedAddr = argv[++i];
        } else if (lppValue != nullptr && (*lppValue = optionValue(i, argc, argv)) != nullptr) {
        } else {
            std::printf(kUsage, argv[0]);
            return std::strcmp(lpszArg, "--help") == 0 ? 0 : 2;
        }
    }
    if (lpszAgent == nullptr) {
        std::printf(kUsage, argv[0]);
        return 2;
    }
    if (refusedAddr.empty()) {
        const char *lpszColon = std::strrchr(lpszAgent, ':');
        refusedAddr = std::string(lpszAgent, lpszColon ? size_t(lpszColon - lpszAgent) : 0) + ":1";
    }
    g_lpPort = ConformancePort(argc - iPortArgs, argv + iPortArgs);
    if (g_lpPort == nullptr) return 2;
    std::thread(watchdog).detach();

    Link link;
    if (logIn(lpszAgent, lpszUser, lpszPassword, link, true)) orderlyClose(link);
    Link second;
    if (logIn(lpszAgent, lpszUser, lpszPassword, second, false)) resetClose(second);
    refused(refusedAddr.c_str());
    // Closed while still connecting: the port must let go of whatever it holds.
    long lMs = 0;
    const int32_t iSocket =
        timed("SocketOpen", lMs, [&] { return g_lpPort->SocketOpen(lpszAgent); });
    if (iSocket >= 0) closeSocket(iSocket);
    verdict(iSocket >= 0, "close while connecting",
            format("SocketOpen gave %ld, SocketClose returned at once", iSocket),
            "a handle, and a close that returns");
    std::printf("%d passed, %d failed\n", g_iPassed, g_iFailed);
    return g_iFailed == 0 ? 0 : 1;
}
