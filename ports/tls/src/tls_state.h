// SPDX-License-Identifier: MIT
// State shared by the TLS port's setup and its socket operations.
#ifndef DEVTCP_TLS_STATE_H
#define DEVTCP_TLS_STATE_H

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include "xr_dev_tcp_tls.h"

namespace devtcp_tls {

enum class Phase : uint8_t {
    Free,        // the entry holds no link
    Connecting,  // the transport connection is being made
    Handshake,   // TLS handshake under way
    Up,          // records flow
    Failed,      // the handshake failed: reported once, then "not up" until closed
};

// Longest address whose session is kept, as the library's address fields.
constexpr size_t kAddrSize = 64;

struct TlsLink {
    Phase ePhase;
    bool bFailureReported;
    // The session of the last handshake completed on this entry, kept while the entry is
    // free, for the next connection to the same address (szSessionAddr).
    bool bSession;
    char szSessionAddr[kAddrSize];
    mbedtls_ssl_session stSession;
    int32_t iTransport;     // the transport's socket, or -1
    uint32_t uPendingSize;  // plain bytes of a record that is written but not yet sent
    bool bStashed;          // ucStash holds a byte read from the transport while connecting
    uint8_t ucStash;
    // Where the stream from the agent is in its records (header bytes held, body bytes to
    // come), and how many records began in this call and since the last one with data.
    uint8_t ucHead[5];
    uint8_t ucHeadGot;
    uint16_t usBodyLeft;
    uint16_t usCallRecords;
    uint32_t uQuietRecords;
    // The handshake's elliptic-curve work (MBEDTLS_ECP_RESTARTABLE): a computation is under
    // way; the handshake can go on without the transport (a step of it is pending).
    bool bComputing;
    bool bStepPending;
    mbedtls_ssl_context stSsl;
};

struct TlsState {
    bool bReady;  // the setup succeeded
    XR_DEV_TCP_SOCKET_CALLBACK_S stTransport;
    int32_t (*lpTransportWait)(uint32_t uTimeoutMs);
    const char *lpszServerName;
    XR_DEV_TCP_LOG_FUNC lpLog;
    mbedtls_ssl_config stConf;
    mbedtls_x509_crt stCa;
    mbedtls_entropy_context stEntropy;
    mbedtls_ctr_drbg_context stDrbg;
    bool bResume;  // sessions are kept and offered
    TlsLink stLink[XR_DEV_TCP_TLS_LINK_NUM];
};

extern TlsState g_stTls;

#ifdef __GNUC__
#define DEVTCP_TLS_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define DEVTCP_TLS_PRINTF(f, a)
#endif

constexpr size_t kLogLineSize = XR_DEV_TCP_TLS_LOG_LINE_SIZE;
static_assert(kLogLineSize >= 2, "XR_DEV_TCP_TLS_LOG_LINE_SIZE holds a character and its NUL");

// One log line, built in place: printf-style parts, and texts that a function writes into
// what is left of it. What does not fit is cut.
struct LogLine {
    char szText[kLogLineSize];
    size_t uLen;
    LogLine() : uLen(0) { szText[0] = '\0'; }
    void add(const char *lpszFormat, ...) DEVTCP_TLS_PRINTF(2, 3);
    char *rest() { return szText + uLen; }
    size_t room() const { return sizeof szText - uLen; }
    // After text was written at rest(): it is part of the line.
    void grew();
    // To the application's log function (level 0).
    void send() const;
};

// One log line through the application's log function, printf-style.
void tlsLog(const char *lpszFormat, ...) DEVTCP_TLS_PRINTF(1, 2);

// One log line: the printf-style text, then mbedTLS's text for @p iErr.
void tlsLogError(int iErr, const char *lpszFormat, ...) DEVTCP_TLS_PRINTF(2, 3);

// Whether log lines go anywhere: a line that goes nowhere is not built.
bool logging();

// mbedTLS's text for an error code, as one line.
void describeError(int iErr, char *lpszOut, size_t uSize);

// Frees the session of @p link and forgets it; the transport socket must be closed before.
void releaseLink(TlsLink &link);

// Forgets the session kept in @p link.
void forgetSession(TlsLink &link);

// The handshake of @p link has work to do that waits for nothing from the transport: the
// next SocketCheck advances it (a step of its elliptic-curve work).
inline bool stepPending(const TlsLink &link) {
    return link.ePhase == Phase::Handshake && link.bStepPending;
}

}  // namespace devtcp_tls

#endif
