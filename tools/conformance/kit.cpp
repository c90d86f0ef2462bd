// SPDX-License-Identifier: MIT
#include "kit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace kit {

const XR_DEV_TCP_SOCKET_CALLBACK_S *g_lpPort = nullptr;
const XR_DEV_TCP_CONFORMANCE_HOST_S *g_lpHost = nullptr;

namespace {

const char *const kNames[POINT_COUNT] = {
    "open",
    "check",
    "read with nothing waiting",
    "write",
    "read in small pieces",
    "the peer's orderly close",
    "the peer's reset",
    "a refused connection",
    "a peer that never answers",
    "write to a slow reader",
    "two connections at once",
    "close: the peer sees it",
    "close: no descriptor kept",
};

enum class State { NONE, PASSED, FAILED, NOT_RUN };
State g_states[POINT_COUNT] = {};
std::atomic<int> g_current{OPEN};
std::string g_slow;  // the current point's first call that did not return at once

// The port's call under way and its deadline, for the watchdog.
std::atomic<const char *> g_lpszCall{nullptr};
std::atomic<long long> g_llDeadline{0};
std::once_flag g_watchdog;

std::vector<int32_t> g_portHandles, g_hostHandles;

void print(const char *lpszWord, Point point, const std::string &said) {
    std::printf("%s %s: %s\n", lpszWord, kNames[point], said.c_str());
    std::fflush(stdout);
}

void forget(std::vector<int32_t> &handles, int32_t iSocket) {
    const auto it = std::find(handles.begin(), handles.end(), iSocket);
    if (it != handles.end()) handles.erase(it);
}

void closeHostHandles() {
    for (const int32_t iSocket : g_hostHandles) g_lpHost->lpSockets->SocketClose(iSocket);
    g_hostHandles.clear();
}

int tally() {
    int iCounts[4] = {};
    for (const State state : g_states) ++iCounts[int(state)];
    std::printf("%d passed, %d failed, %d not run\n", iCounts[int(State::PASSED)],
                iCounts[int(State::FAILED)], iCounts[int(State::NOT_RUN)]);
    std::fflush(stdout);
    return iCounts[int(State::FAILED)] == 0 ? 0 : 1;
}

// A port call that never returns ends the run. The port is left alone (it is inside a
// call, maybe holding a lock that the host's sockets need too); the end of the process
// releases what the kit holds.
void watchdog() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const char *lpszCall = g_lpszCall.load();
        if (lpszCall == nullptr || nowMs() <= g_llDeadline.load()) continue;
        const Point current = Point(g_current.load());
        fail(current, format("%s did not return within %ld ms", lpszCall, BLOCKED_MS),
             "every operation to return at once");
        for (int i = 0; i < POINT_COUNT; ++i)
            notRun(Point(i), format("the port's %s never returned", lpszCall));
        std::_Exit(tally());
    }
}

template <typename Call>
int32_t timed(const char *lpszName, long &lMs, Call call) {
    std::call_once(g_watchdog, [] { std::thread(watchdog).detach(); });
    const long long llStart = nowMs();
    g_llDeadline = llStart + BLOCKED_MS;
    g_lpszCall = lpszName;
    const int32_t iResult = call();
    g_lpszCall = nullptr;
    lMs = long(nowMs() - llStart);
    if (lMs > AT_ONCE_MS && g_slow.empty()) g_slow = format("%s took %ld ms", lpszName, lMs);
    return iResult;
}

}  // namespace

const char *pointName(Point point) {
    return kNames[point];
}

void begin(Point point) {
    g_current = point;
    g_slow.clear();
}

void pass(Point point, const std::string &said) {
    if (g_states[point] != State::NONE) return;
    if (!g_slow.empty() && point == Point(g_current.load()))
        return fail(point, g_slow, "every operation to return within 500 ms, at once");
    g_states[point] = State::PASSED;
    print("PASS", point, said);
}

void fail(Point point, const std::string &said, const char *lpszExpected) {
    if (g_states[point] != State::NONE) return;
    g_states[point] = State::FAILED;
    print("FAIL", point, said + "; expected " + lpszExpected);
}

void notRun(Point point, const std::string &why) {
    if (g_states[point] != State::NONE) return;
    g_states[point] = State::NOT_RUN;
    print("NOT RUN", point, why);
}

bool passed(Point point) {
    return g_states[point] == State::PASSED;
}

int finish() {
    for (const int32_t iSocket : std::vector<int32_t>(g_portHandles)) close(iSocket);
    if (g_lpHost != nullptr) closeHostHandles();
    for (int i = 0; i < POINT_COUNT; ++i) notRun(Point(i), "not reached");
    return tally();
}

std::string format(const char *lpszFormat, ...) {
    char szText[512];
    va_list args;
    va_start(args, lpszFormat);
    std::vsnprintf(szText, sizeof szText, lpszFormat, args);
    va_end(args);
    return szText;
}

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void pause(long lMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(lMs));
}

int32_t open(const char *lpszAddr, long &lMs) {
    const int32_t iSocket =
        timed("SocketOpen", lMs, [&] { return g_lpPort->SocketOpen(lpszAddr); });
    if (iSocket >= 0) g_portHandles.push_back(iSocket);
    return iSocket;
}

int32_t check(int32_t iSocket) {
    long lMs = 0;
    return timed("SocketCheck", lMs, [&] { return g_lpPort->SocketCheck(iSocket); });
}

int32_t send(int32_t iSocket, const uint8_t *lpData, uint32_t uSize, long &lMs) {
    return timed("SocketSend", lMs, [&] { return g_lpPort->SocketSend(iSocket, lpData, uSize); });
}

int32_t recv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize, long &lMs) {
    return timed("SocketRecv", lMs, [&] { return g_lpPort->SocketRecv(iSocket, lpBuf, uSize); });
}

void close(int32_t iSocket) {
    long lMs = 0;
    forget(g_portHandles, iSocket);
    timed("SocketClose", lMs, [&] {
        g_lpPort->SocketClose(iSocket);
        return 0;
    });
}

int32_t hostOpen(const char *lpszAddr) {
    const int32_t iSocket = g_lpHost->lpSockets->SocketOpen(lpszAddr);
    if (iSocket >= 0) g_hostHandles.push_back(iSocket);
    return iSocket;
}

int32_t hostListen(std::string &addr) {
    char szAddr[64] = "";
    const int32_t iSocket = g_lpHost->Listen(szAddr, sizeof szAddr);
    if (iSocket >= 0) g_hostHandles.push_back(iSocket);
    addr = szAddr;
    return iSocket;
}

int32_t hostAccept(int32_t iListener, long lWithinMs) {
    for (const long long llEnd = nowMs() + lWithinMs;; pause()) {
        const int32_t iSocket = g_lpHost->Accept(iListener);
        if (iSocket >= 0) {
            g_hostHandles.push_back(iSocket);
            return iSocket;
        }
        if (nowMs() > llEnd) return -1;
    }
}

int32_t hostSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    return g_lpHost->lpSockets->SocketSend(iSocket, lpData, uSize);
}

int32_t hostRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    return g_lpHost->lpSockets->SocketRecv(iSocket, lpBuf, uSize);
}

void hostClose(int32_t iSocket) {
    forget(g_hostHandles, iSocket);
    g_lpHost->lpSockets->SocketClose(iSocket);
}

}  // namespace kit
