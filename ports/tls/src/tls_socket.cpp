// SPDX-License-Identifier: MIT
// The five socket operations of the TLS table: mbedTLS sessions whose records travel
// through the transport's socket operations, none of which blocks.
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl_internal.h>

#include <cstdio>
#include <cstring>

#include "tls_state.h"

using namespace devtcp_tls;

namespace {

// A flood of records that carry no data (warning alerts, empty records; mbedTLS handles
// them in a loop inside one call) costs bounded work: at most this many records are read
// in one call of the table, and the link ends after more than kQuietRecordsMax in a row.
constexpr uint16_t kRecordsPerCall = 16;
constexpr uint32_t kQuietRecordsMax = 100;

TlsLink *findLink(int32_t iSocket) {
    if (iSocket < 0 || iSocket >= XR_DEV_TCP_TLS_LINK_NUM) return nullptr;
    TlsLink &link = g_stTls.stLink[iSocket];
    return link.ePhase == Phase::Free ? nullptr : &link;
}

// Not now: the transport (want-read, want-write), or a computation that mbedTLS splits
// into steps (MBEDTLS_ECP_RESTARTABLE) or hands to an asynchronous engine.
bool wouldBlock(int iErr) {
    return iErr == MBEDTLS_ERR_SSL_WANT_READ || iErr == MBEDTLS_ERR_SSL_WANT_WRITE ||
           iErr == MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS || iErr == MBEDTLS_ERR_SSL_ASYNC_IN_PROGRESS;
}

// The transport's answers in mbedTLS's terms: 0 becomes want-write or want-read, a
// failure a reset connection. A transport that claims more than it was given is held
// to what it was given.
int bioSend(void *lpCtx, const unsigned char *lpBuf, size_t uLen) {
    const TlsLink &link = *static_cast<const TlsLink *>(lpCtx);
    const auto send = g_stTls.stTransport.SocketSend;
    if (send == nullptr || link.iTransport < 0) return MBEDTLS_ERR_NET_SEND_FAILED;
    const int32_t iSent = send(link.iTransport, lpBuf, static_cast<uint32_t>(uLen));
    if (iSent < 0) return MBEDTLS_ERR_NET_SEND_FAILED;
    if (iSent == 0) return MBEDTLS_ERR_SSL_WANT_WRITE;
    return static_cast<size_t>(iSent) < uLen ? iSent : static_cast<int>(uLen);
}

// Follows the record boundaries through @p uLen bytes that lie within one record header
// or one record body.
void trackRecords(TlsLink &link, const unsigned char *lpBuf, size_t uLen) {
    if (link.usBodyLeft > 0) {
        link.usBodyLeft = static_cast<uint16_t>(link.usBodyLeft - uLen);
        return;
    }
    std::memcpy(link.ucHead + link.ucHeadGot, lpBuf, uLen);
    link.ucHeadGot = static_cast<uint8_t>(link.ucHeadGot + uLen);
    if (link.ucHeadGot < sizeof link.ucHead) return;
    link.ucHeadGot = 0;
    link.usBodyLeft = static_cast<uint16_t>(link.ucHead[3] << 8 | link.ucHead[4]);
    ++link.usCallRecords;
    ++link.uQuietRecords;
}

// Reads stop at a record's end (mbedTLS asks for a header, then for the body, anyway), and
// at a record's start once this call has had its share.
int bioRecv(void *lpCtx, unsigned char *lpBuf, size_t uLen) {
    TlsLink &link = *static_cast<TlsLink *>(lpCtx);
    const auto recv = g_stTls.stTransport.SocketRecv;
    if (recv == nullptr || link.iTransport < 0) return MBEDTLS_ERR_NET_RECV_FAILED;
    const size_t uRest =
        link.usBodyLeft > 0 ? link.usBodyLeft : sizeof link.ucHead - link.ucHeadGot;
    if (uLen == 0 || (uRest == sizeof link.ucHead && link.usCallRecords >= kRecordsPerCall))
        return MBEDTLS_ERR_SSL_WANT_READ;
    if (uLen > uRest) uLen = uRest;
    int32_t iRead = 1;
    if (link.bStashed) {
        link.bStashed = false;
        lpBuf[0] = link.ucStash;
    } else {
        iRead = recv(link.iTransport, lpBuf, static_cast<uint32_t>(uLen));
        if (iRead < 0) return MBEDTLS_ERR_NET_CONN_RESET;
        if (iRead == 0) return MBEDTLS_ERR_SSL_WANT_READ;
        if (static_cast<size_t>(iRead) > uLen) iRead = static_cast<int32_t>(uLen);
    }
    trackRecords(link, lpBuf, static_cast<size_t>(iRead));
    return iRead;
}

// Sends what is left of a record that mbedTLS wrote on its own inside a read (the
// no_renegotiation alert that answers a HelloRequest) and the transport took only part of.
// mbedtls_ssl_write would only finish it and still report the caller's bytes written. (A
// later read may answer the same HelloRequest again: a second warning alert, harmless.)
int flushLeftover(TlsLink &link) {
    return link.uPendingSize == 0 && link.stSsl.out_left != 0
               ? mbedtls_ssl_flush_output(&link.stSsl)
               : 0;
}

void closeTransport(TlsLink &link) {
    if (link.iTransport >= 0 && g_stTls.stTransport.SocketClose != nullptr)
        g_stTls.stTransport.SocketClose(link.iTransport);
    link.iTransport = -1;
}

// Why a handshake failed, in one line of at most @p uSize bytes: the certificate checks
// that failed, or mbedTLS's text for the error.
void handshakeReason(const TlsLink &link, int iErr, char *szOut, size_t uSize) {
    if (iErr == MBEDTLS_ERR_SSL_FEATURE_UNAVAILABLE) {
        std::snprintf(szOut, uSize,
                      "a handshake message from the agent spans several records, which "
                      "mbedTLS does not take: a certificate chain over %d bytes?",
                      MBEDTLS_SSL_IN_CONTENT_LEN);
        return;
    }
    if (iErr != MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
        describeError(iErr, szOut, uSize);
        return;
    }
    const uint32_t uFlags = mbedtls_ssl_get_verify_result(&link.stSsl);
    const int iLen = mbedtls_x509_crt_verify_info(szOut, uSize, "", uFlags);
    // One line per failed check, each ending in a line feed: join them with "; ".
    for (int i = 0; i < iLen - 1; ++i) {
        if (szOut[i] == '\n') szOut[i] = ';';
    }
    if (iLen > 0 && szOut[iLen - 1] == '\n') szOut[iLen - 1] = '\0';
    // Checks that do not all fit the line: their flags.
    if (iLen <= 0)
        std::snprintf(szOut, uSize, "certificate not verified (flags 0x%X)", unsigned(uFlags));
}

// Gives back the connection and the session of a failed handshake, and forgets the kept
// session, which may be what the agent refused.
void endHandshake(TlsLink &link) {
    closeTransport(link);
    mbedtls_ssl_free(&link.stSsl);
    forgetSession(link);
    link.ePhase = Phase::Failed;
}

// The handshake failed: say why, and give back the connection and the session at
// once; the handle stays until the library closes it. Kept out of line, so that its log
// line is on the stack only while it runs, not during every step of the handshake.
#ifdef __GNUC__
__attribute__((noinline))
#endif
void failHandshake(TlsLink &link, int iErr) {
    if (logging()) {
        LogLine line;
        line.add("xrDevTcpTlsCheck: TLS handshake with %s failed: ", g_stTls.lpszServerName);
        handshakeReason(link, iErr, line.rest(), line.room());
        line.grew();
        line.add(" (iErr=-0x%04X)", unsigned(-iErr));
        line.send();
    }
    endHandshake(link);
}

// Runs the handshake until it waits for the transport or completes. Where mbedTLS splits
// the elliptic-curve work into steps (MBEDTLS_ECP_RESTARTABLE), a call that finishes a
// pending computation stops after it: a new one starts on the next call.
int advanceHandshake(TlsLink &link) {
    const bool bFinishing = link.bComputing;
    while (link.stSsl.state != MBEDTLS_SSL_HANDSHAKE_OVER) {
        const int iErr = mbedtls_ssl_handshake_step(&link.stSsl);
        link.bComputing = iErr == MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS;
        link.bStepPending = link.bComputing;
        if (iErr != 0) return iErr;
        if (bFinishing && link.stSsl.state != MBEDTLS_SSL_HANDSHAKE_OVER) {
            link.bStepPending = true;
            return MBEDTLS_ERR_SSL_CRYPTO_IN_PROGRESS;
        }
    }
    return 0;
}

// A free entry for a link to @p lpszAddr: preferably one that kept a session with it,
// else one that kept none, else the first free one (whose session goes).
TlsLink *chooseLink(const char *lpszAddr) {
    TlsLink *lpBest = nullptr;
    int iBest = 0;
    for (TlsLink &link : g_stTls.stLink) {
        if (link.ePhase != Phase::Free) continue;
        const int iScore = !link.bSession                                               ? 1
                           : std::strncmp(link.szSessionAddr, lpszAddr, kAddrSize) == 0 ? 2
                                                                                        : 0;
        if (lpBest == nullptr || iScore > iBest) lpBest = &link, iBest = iScore;
    }
    return lpBest;
}

// The session that this entry kept with @p lpszAddr is offered; any other is forgotten.
// An agent that does not take it up gets a full handshake, verified as always.
void offerSession(TlsLink &link, const char *lpszAddr) {
    if (link.bSession && std::strncmp(link.szSessionAddr, lpszAddr, kAddrSize) == 0 &&
        mbedtls_ssl_set_session(&link.stSsl, &link.stSession) == 0)
        return;
    forgetSession(link);
    if (g_stTls.bResume && std::strlen(lpszAddr) < kAddrSize)
        std::strcpy(link.szSessionAddr, lpszAddr);
}

// The handshake completed: its session is kept for the next connection to the address.
void keepSession(TlsLink &link) {
    if (!g_stTls.bResume || link.szSessionAddr[0] == '\0') return;
    if (link.bSession) mbedtls_ssl_session_free(&link.stSession);
    mbedtls_ssl_session_init(&link.stSession);
    link.bSession = mbedtls_ssl_get_session(&link.stSsl, &link.stSession) == 0;
    if (!link.bSession) mbedtls_ssl_session_free(&link.stSession);
}

// The library reads while the connection is being made. The transport's read tells a
// refused or failed connection at once (and reports it through its own error hook), as it
// would without TLS; a byte that it does return belongs to the TLS stream and is kept.
int32_t probeTransport(TlsLink &link) {
    const auto recv = g_stTls.stTransport.SocketRecv;
    if (link.bStashed || recv == nullptr) return 0;
    const int32_t iRead = recv(link.iTransport, &link.ucStash, 1);
    link.bStashed = iRead > 0;
    return iRead < 0 ? -1 : 0;
}

int32_t xrDevTcpTlsOpen(const char *lpszAddr) {
    if (!g_stTls.bReady || lpszAddr == nullptr) return -1;
    TlsLink *lpLink = chooseLink(lpszAddr);
    if (lpLink == nullptr) {
        tlsLog("xrDevTcpTlsOpen: all %d TLS links are in use", XR_DEV_TCP_TLS_LINK_NUM);
        return -1;
    }
    TlsLink &link = *lpLink;
    const auto iSocket = static_cast<int32_t>(lpLink - g_stTls.stLink);
    // The transport first: an open that fails at once (no route), which the library
    // retries every tick, costs no record buffers and keeps the entry's session.
    const auto open = g_stTls.stTransport.SocketOpen;
    const int32_t iTransport = open != nullptr ? open(lpszAddr) : -1;
    if (iTransport < 0) return -1;
    mbedtls_ssl_init(&link.stSsl);
    int iErr = mbedtls_ssl_setup(&link.stSsl, &g_stTls.stConf);
    if (iErr == 0) iErr = mbedtls_ssl_set_hostname(&link.stSsl, g_stTls.lpszServerName);
    if (iErr == 0) offerSession(link, lpszAddr);
    if (iErr != 0) {
        tlsLogError(iErr, "xrDevTcpTlsOpen: no TLS session: ");
        mbedtls_ssl_free(&link.stSsl);
        if (g_stTls.stTransport.SocketClose != nullptr) g_stTls.stTransport.SocketClose(iTransport);
        return -1;
    }
    mbedtls_ssl_set_bio(&link.stSsl, &link, bioSend, bioRecv, nullptr);
    link.iTransport = iTransport;
    link.uPendingSize = 0;
    link.bStashed = false;
    link.ucHeadGot = 0;
    link.usBodyLeft = 0;
    link.uQuietRecords = 0;
    link.bComputing = link.bStepPending = false;
    link.ePhase = Phase::Connecting;
    return iSocket;
}

int32_t xrDevTcpTlsCheck(int32_t iSocket) {
    TlsLink *lpLink = findLink(iSocket);
    if (lpLink == nullptr) return -1;
    TlsLink &link = *lpLink;
    if (link.ePhase == Phase::Up) return 1;
    // Reported once: the login timeout ends the attempt, as for a refused connection.
    if (link.ePhase == Phase::Failed) return 0;
    if (link.ePhase == Phase::Connecting) {
        const auto check = g_stTls.stTransport.SocketCheck;
        const int32_t iUp = check != nullptr ? check(link.iTransport) : -1;
        if (iUp <= 0) return iUp;
        link.ePhase = Phase::Handshake;
    }
    link.usCallRecords = 0;
    const int iErr = advanceHandshake(link);
    if (iErr == 0) {
        keepSession(link);
        link.uQuietRecords = 0;
        link.ePhase = Phase::Up;
        return 1;
    }
    if (wouldBlock(iErr) && link.uQuietRecords <= kQuietRecordsMax) return 0;
    if (wouldBlock(iErr)) {
        tlsLog(
            "xrDevTcpTlsCheck: TLS handshake with %s failed: the agent sent %u records "
            "without completing it (alerts?)",
            g_stTls.lpszServerName, unsigned(link.uQuietRecords));
        endHandshake(link);
        return -1;
    }
    failHandshake(link, iErr);
    return -1;
}

void xrDevTcpTlsClose(int32_t iSocket) {
    TlsLink *lpLink = findLink(iSocket);
    if (lpLink == nullptr) return;
    // Best effort: a close-notify that cannot be written now is not waited for.
    if (lpLink->ePhase == Phase::Up) (void)mbedtls_ssl_close_notify(&lpLink->stSsl);
    // A handshake given up (the login timeout, a logout) says how far it came.
    if (lpLink->ePhase == Phase::Handshake) {
        const int iState = lpLink->stSsl.state;
        tlsLog(
            "xrDevTcpTlsClose: TLS handshake with %s given up unfinished: %s (%u records "
            "from it)",
            g_stTls.lpszServerName,
            iState <= MBEDTLS_SSL_SERVER_HELLO        ? "the agent did not answer its hello"
            : iState <= MBEDTLS_SSL_SERVER_HELLO_DONE ? "the agent stopped after its hello"
                                                      : "the agent did not finish it",
            unsigned(lpLink->uQuietRecords));
        // The agent may not take up the session it was offered (a ticket it cannot read,
        // dropped silently): the next handshake is a full one.
        forgetSession(*lpLink);
    }
    closeTransport(*lpLink);
    releaseLink(*lpLink);
}

int32_t xrDevTcpTlsSend(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    TlsLink *lpLink = findLink(iSocket);
    if (lpLink == nullptr || uSize == 0) return -1;
    if (lpLink->ePhase != Phase::Up) return 0;
    TlsLink &link = *lpLink;
    // A record that the transport took only part of is finished first; the library
    // offers the same queue front again, so those bytes are still at lpData.
    uint32_t uRecord = link.uPendingSize;
    if (uRecord == 0) {
        const int iMax = mbedtls_ssl_get_max_out_record_payload(&link.stSsl);
        uRecord =
            iMax > 0 && static_cast<uint32_t>(iMax) < uSize ? static_cast<uint32_t>(iMax) : uSize;
    }
    if (uRecord > uSize) return -1;
    // A read finishes a pending record before it answers a HelloRequest with an alert
    // (mbedtls_ssl_read flushes first): it is out, and is not written again.
    if (link.uPendingSize != 0 && link.stSsl.out_left == 0) {
        link.uPendingSize = 0;
        return static_cast<int32_t>(uRecord);
    }
    const int iLeft = flushLeftover(link);
    const int iWritten = iLeft != 0 ? iLeft : mbedtls_ssl_write(&link.stSsl, lpData, uRecord);
    if (iWritten > 0) {
        link.uPendingSize = 0;
        return iWritten;
    }
    if (wouldBlock(iWritten)) {
        if (iLeft == 0) link.uPendingSize = uRecord;
        return 0;
    }
    tlsLogError(iWritten, "xrDevTcpTlsSend: TLS write failed: ");
    return -1;
}

int32_t xrDevTcpTlsRecv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    TlsLink *lpLink = findLink(iSocket);
    if (lpLink == nullptr || uSize == 0) return -1;
    if (lpLink->ePhase == Phase::Connecting) return probeTransport(*lpLink);
    if (lpLink->ePhase != Phase::Up) return 0;
    lpLink->usCallRecords = 0;
    const int iRead = mbedtls_ssl_read(&lpLink->stSsl, lpBuf, uSize);
    if (iRead > 0) {
        lpLink->uQuietRecords = 0;
        return iRead;
    }
    // 0: an empty record (two in a row come out so), which TLS 1.2 allows: the transport's
    // close never reads as 0 here, since bioRecv turns it into a reset.
    if (iRead == 0 || wouldBlock(iRead)) {
        if (lpLink->uQuietRecords <= kQuietRecordsMax) return 0;
        tlsLog(
            "xrDevTcpTlsRecv: the agent sent %u records in a row without data (alerts or "
            "empty records): the link is ended",
            unsigned(lpLink->uQuietRecords));
        return -1;
    }
    const unsigned uShort =
        lpLink->usBodyLeft + (lpLink->ucHeadGot > 0 ? 5u - lpLink->ucHeadGot : 0u);
    // The agent's close, with or without its close-notify alert, is no news, unless it
    // cut a record short.
    if (iRead == MBEDTLS_ERR_NET_CONN_RESET && uShort > 0) {
        tlsLog("xrDevTcpTlsRecv: the agent's connection ended inside a record, %u bytes short",
               uShort);
    } else if (iRead != MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY && iRead != MBEDTLS_ERR_NET_CONN_RESET) {
        tlsLogError(iRead, "xrDevTcpTlsRecv: TLS read failed: ");
    }
    return -1;
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kTlsTable = {xrDevTcpTlsOpen, xrDevTcpTlsCheck, xrDevTcpTlsClose,
                                                xrDevTcpTlsSend, xrDevTcpTlsRecv};

}  // namespace

const XR_DEV_TCP_SOCKET_CALLBACK_S *xrDevTcpTlsSocketTable(void) {
    return &kTlsTable;
}

int32_t xrDevTcpTlsWait(uint32_t uTimeoutMs) {
    for (TlsLink &link : g_stTls.stLink) {
        if (link.ePhase != Phase::Up && link.ePhase != Phase::Handshake) continue;
        // What mbedTLS holds is not on the transport any more: no wait would see it.
        if (mbedtls_ssl_get_bytes_avail(&link.stSsl) > 0 || mbedtls_ssl_check_pending(&link.stSsl))
            return 1;
        if (stepPending(link) || (link.ePhase == Phase::Handshake && link.bStashed)) return 1;
    }
    return g_stTls.lpTransportWait != nullptr ? g_stTls.lpTransportWait(uTimeoutMs) : -1;
}
