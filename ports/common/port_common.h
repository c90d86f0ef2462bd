// SPDX-License-Identifier: MIT
// What every socket-table port does the same way: reading "a.b.c.d:port", the error hook,
// and turning the stack's answers into the library's (a count, 0 for "later", -1).
// Each port compiles it into its own file, so each has its own hook and memory.
#ifndef DEVTCP_PORTS_PORT_COMMON_H
#define DEVTCP_PORTS_PORT_COMMON_H

#include <stdint.h>
#include <string.h>

#include "xr_dev_tcp.h"

namespace devtcp_port {

/**
 * Read "a.b.c.d:port": four decimal numbers from 0 to 255 joined by dots, without leading
 * zeros, a colon and a decimal port from 1 to 65535 without sign, blanks or leading zeros,
 * and nothing after it. Anything else is refused: an address typed wrong, or sent by an
 * agent in a redirect, must not turn into a connection to some other host or port.
 * @param uHost the address in host byte order (127.0.0.1 is 0x7F000001)
 * @return false, leaving the outputs undefined, when @p lpszAddr is null or not such a text.
 */
inline bool ParseSocketAddress(const char *lpszAddr, uint32_t &uHost, uint16_t &usPort) {
    if (lpszAddr == nullptr) {
        return false;
    }
    const char *p = lpszAddr;
    uint32_t uParts[5] = {};
    for (int iPart = 0; iPart < 5; ++iPart) {
        if ((iPart > 0 && *p++ != (iPart < 4 ? '.' : ':')) || *p < '0' || *p > '9') {
            return false;
        }
        const char *lpszStart = p;
        for (; *p >= '0' && *p <= '9'; ++p) {
            uParts[iPart] = uParts[iPart] * 10 + static_cast<uint32_t>(*p - '0');
            if (uParts[iPart] > (iPart < 4 ? 255u : 65535u) ||
                (*lpszStart == '0' && p != lpszStart)) {
                return false;
            }
        }
    }
    if (*p != '\0' || uParts[4] == 0) {
        return false;
    }
    uHost = uParts[0] << 24 | uParts[1] << 16 | uParts[2] << 8 | uParts[3];
    usPort = static_cast<uint16_t>(uParts[4]);
    return true;
}

/** What the error hook is given for an address that SocketOpen refuses. */
constexpr int32_t ADDRESS_REFUSED = -1;

/** Stacks take and give sizes as int or ssize_t: never offer more than they can count. */
inline uint32_t ClampSize(uint32_t uSize) {
    return uSize < 0x7FFFFFFFu ? uSize : 0x7FFFFFFFu;
}

/** A zero-wait readiness poll: it failed, not ready, ready; Broken: an error is pending. */
enum class Ready { Failed, No, Yes, Broken };

/** The library's answer when a poll did not say ready: -1 for a failed poll, else "later". */
inline int32_t NotReady(Ready ready) {
    return ready == Ready::Failed ? -1 : 0;
}

/**
 * The port's open sockets, for its wait call: each with whether it is to be woken when it
 * becomes writable (a connection in progress, or bytes that a send could not take). Sized
 * for the library's links; a socket beyond that is not watched, and while one is open the
 * wait lasts at most the 50 ms of the library's tick, which drives it as before.
 */
template <typename Socket>
class Watched {
  public:
    static constexpr uint32_t kSize = XR_DEV_TCP_LINK_NUM;
    static constexpr uint32_t kUnwatchedMs = 50;
    struct Entry {
        Socket s;
        bool bWrite;
    };

    void Add(Socket s) {
        if (m_uCount < kSize) {
            m_entries[m_uCount++] = {s, true};
        } else {
            ++m_uUnwatched;
        }
    }
    void Remove(Socket s) {
        Entry *lpEntry = Find(s);
        if (lpEntry == nullptr) {
            m_uUnwatched -= m_uUnwatched > 0 ? 1 : 0;
            return;
        }
        *lpEntry = m_entries[--m_uCount];
    }
    /** Writability matters while @p bWrite: the connection is pending or a send fell short. */
    void WantWrite(Socket s, bool bWrite) {
        Entry *lpEntry = Find(s);
        if (lpEntry != nullptr) {
            lpEntry->bWrite = bWrite;
        }
    }
    uint32_t Count() const { return m_uCount; }
    const Entry &At(uint32_t u) const { return m_entries[u]; }
    /** The wait's limit: @p uTimeoutMs, or less while a socket is not watched. */
    uint32_t Limit(uint32_t uTimeoutMs) const {
        return m_uUnwatched > 0 && uTimeoutMs > kUnwatchedMs ? kUnwatchedMs : uTimeoutMs;
    }
    /** The limit as poll() takes it: -1 for no deadline, at most INT_MAX. */
    int PollMs(uint32_t uTimeoutMs) const {
        uTimeoutMs = Limit(uTimeoutMs);
        return uTimeoutMs == XR_DEV_TCP_NO_DEADLINE ? -1
               : uTimeoutMs > 0x7FFFFFFFu           ? 0x7FFFFFFF
                                                    : static_cast<int>(uTimeoutMs);
    }

  private:
    Entry *Find(Socket s) {
        for (uint32_t u = 0; u < m_uCount; ++u) {
            if (m_entries[u].s == s) {
                return &m_entries[u];
            }
        }
        return nullptr;
    }

    Entry m_entries[kSize] = {};
    uint32_t m_uCount = 0;
    uint32_t m_uUnwatched = 0;
};

/** The application's error hook and the last address refused, for one port. */
class ErrorHook {
  public:
    void Set(void (*lpHook)(const char *, int32_t)) { m_lpHook = lpHook; }

    void Report(const char *lpszOperation, int32_t iError) const {
        if (m_lpHook != nullptr) {
            m_lpHook(lpszOperation, iError);
        }
    }

    /**
     * ParseSocketAddress(), and a refused address reported as (the address, ADDRESS_REFUSED)
     * unless it is the one refused last time: the library retries the same address after
     * every back-off, and one line about it is enough.
     */
    bool ReadAddress(const char *lpszAddr, uint32_t &uHost, uint16_t &usPort) {
        if (ParseSocketAddress(lpszAddr, uHost, usPort)) {
            return true;
        }
        if (lpszAddr != nullptr &&
            (!m_bRefused || strncmp(lpszAddr, m_szRefused, sizeof m_szRefused - 1) != 0)) {
            m_bRefused = true;
            strncpy(m_szRefused, lpszAddr, sizeof m_szRefused - 1);
            Report(lpszAddr, ADDRESS_REFUSED);
        }
        return false;
    }

    /** A send's answer: the bytes taken, 0 to try later, or -1 after reporting @p iErr. */
    int32_t Sent(long long iSent, bool bLater, int iErr) const {
        if (iSent >= 0) {
            return static_cast<int32_t>(iSent);
        }
        return Failed("SocketSend", bLater, iErr);
    }

    /** A receive's answer: the bytes read, 0 to try later, -1 for the peer's close (0 bytes)
     *  or after reporting @p iErr. */
    int32_t Read(long long iRead, bool bLater, int iErr) const {
        if (iRead > 0) {
            return static_cast<int32_t>(iRead);
        }
        return iRead == 0 ? -1 : Failed("SocketRecv", bLater, iErr);
    }

  private:
    int32_t Failed(const char *lpszOperation, bool bLater, int iErr) const {
        if (bLater) {
            return 0;
        }
        Report(lpszOperation, iErr);
        return -1;
    }

    void (*m_lpHook)(const char *, int32_t) = nullptr;
    bool m_bRefused = false;
    char m_szRefused[64] = "";  // longer addresses are told apart by their first 63 bytes
};

}  // namespace devtcp_port

#endif
