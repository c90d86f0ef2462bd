/* SPDX-License-Identifier: MIT */
/**
 * @file xr_dev_tcp_tls.h
 * @brief TLS 1.2 socket table for the device link library, on mbedTLS (2.28).
 *
 * The TLS table is a socket table (XR_DEV_TCP_SOCKET_CALLBACK_S) layered over another
 * one, the transport, which carries the TLS records: its SocketOpen, SocketCheck and
 * SocketClose make and end the TCP connection, its SocketSend and SocketRecv move the
 * bytes. Any transport will do (POSIX, Windows Sockets, lwIP, a modem's AT sockets), as
 * long as it keeps the table's contract: nothing blocks.
 *
 * Use:
 * @code
 *   XR_DEV_TCP_TLS_CONFIG_S tls = {0};
 *   tls.lpTransport = &posixTable;          // the table the records travel on
 *   tls.lpszCaFile = "ca.pem";              // or lpCaBuf/uCaSize
 *   tls.lpszServerName = "agent.example";   // the name the agent's certificate carries
 *   tls.lpLog = myLog;                      // why a handshake failed
 *   if (xrDevTcpTlsSetup(&tls) == 0)
 *       xrDevTcpSetCallback(xrDevTcpTlsSocketTable(), &events, myLog);
 * @endcode
 *
 * Every link then runs over TLS, including the links to agents that a redirect names:
 * the TLS table has no plain mode to fall back to. Every agent must therefore present a
 * certificate that the CA signed, for the one server name given.
 *
 * The operations of the TLS table:
 * - SocketOpen: opens the transport connection and, once it is open, prepares a TLS
 *   session (mbedTLS allocates its record buffers then: an open that fails at once costs
 *   no heap and keeps every kept session); -1 when no TLS link is free
 *   (XR_DEV_TCP_TLS_LINK_NUM), the setup has not been done, the transport's open fails,
 *   or mbedTLS cannot allocate the session.
 * - SocketCheck: asks the transport until the connection is up, then runs the TLS
 *   handshake without waiting: 0 while it goes on (mbedTLS waits for the transport, or a
 *   step of its elliptic-curve work is pending, see below), 1 only once it has completed
 *   and the agent's certificate has been verified against the CA and the server name. A failed
 * handshake or verification logs one line saying why, answers -1 once (the library reports -3) and
 * 0 after that: the library's login timeout then ends the attempt and its back-off spaces out the
 * next one, as for any connection that does not come up. The transport connection and the TLS
 * session are released at the failure.
 * - SocketSend: encrypts one record of at most the front of the queue; 0 while the
 *   transport takes nothing (the record is kept and finished on a later call), while an
 *   alert that mbedTLS wrote on its own (the refusal of the agent's renegotiation request)
 *   is not all sent yet, and before the handshake has completed.
 * - SocketRecv: decrypted bytes; 0 while no whole record has arrived, for empty records
 *   (which TLS allows) and during the handshake; -1 when the agent closed the link (with
 *   or without a close-notify alert) or a record is bad, and while the transport
 *   connection is being made, when the transport's own SocketRecv reports its failure
 *   (a refused connection shows at once, as without TLS).
 * - SocketCheck and SocketRecv read at most 16 records from the agent in one call, and
 *   end a link (with a log line saying why) whose agent sends more than 100 records in a
 *   row without data, such as warning alerts or empty records, during the handshake or
 *   after it: a flood costs bounded work and does not pass unnoticed.
 * - SocketClose: sends a close-notify alert when the link is up (best effort), closes the
 *   transport connection and frees the session. A handshake closed unfinished (by the
 *   login timeout, say) logs how far it came: no answer to the device's hello, the agent
 *   stopped after its own hello, or it did not finish.
 * Other log lines name what happened: a record that the agent's close cut short, and a
 * handshake message spread over several records (a certificate chain longer than the
 * MBEDTLS_SSL_IN_CONTENT_LEN that mbedTLS takes).
 *
 * The handshake in steps: a full handshake's elliptic-curve work (verifying the
 * certificate and the key exchange's signature, the key agreement) is most of its cost,
 * 61 M instructions on x86-64 and of the order of a second on a 100 MHz microcontroller,
 * while every other link and the TCP/IP stack's timers wait. Where mbedTLS is built with
 * MBEDTLS_ECP_RESTARTABLE (and MBEDTLS_ECDH_LEGACY_CONTEXT, which it needs), the port
 * offers only the ECDHE-ECDSA cipher suites and the short-Weierstrass curves, secp256r1
 * first (mbedTLS splits that work for those only, not on Curve25519), and sets the step's
 * size (XR_DEV_TCP_TLS_ECP_MAX_OPS, with mbedtls_ecp_set_max_ops(), which is global to
 * mbedTLS). Each SocketCheck then advances the handshake by at most about one step, and a
 * call that finishes a computation stops there; it answers 0 while a step is pending,
 * which waits for nothing from the transport. bench/tls.sh, with mbedTLS built for the host
 * from own_mbedtls/config_host.h (the device's choices): the longest single call of a full
 * handshake runs 2.5 % of its instructions (1.55 M of 61.4 M), and the handshake spans 60
 * calls; bench/tls_m4.sh, on a Cortex-M4 with config_board.h: 2.4 % (2.34 M of 98.0 M),
 * 61 calls. own_mbedtls/ builds mbedTLS from its source with such a configuration, for a
 * Cortex-M device without an OS (config_board.h) or the host; Debian's binary mbedTLS has
 * no restartable ECC, and runs a full handshake in one call.
 *
 * Resumed reconnects: each TLS link entry keeps the session of its last completed
 * handshake, with the agent address it was made with, and offers it (as a session ticket,
 * or its session ID for an agent that keeps a cache) on the next connection to the same
 * address. An agent that takes it up skips the certificate and the key agreement; one
 * that does not gets a full handshake with full verification. A resumed session inherits
 * the verification of the full handshake it came from, made against the CA and the server
 * name of the current setup: the certificate is not sent or checked again, so its expiry
 * is not seen until the agent stops resuming (agents bound a ticket's lifetime, commonly
 * to hours). The kept session is forgotten after a failed handshake, after one closed
 * unfinished (an agent that does not answer a resumed hello gets a full one next), by
 * xrDevTcpTlsCleanup() and when the setup is replaced. It takes a few hundred bytes of
 * heap per entry, and the agent's certificate with it where mbedTLS is built with
 * MBEDTLS_SSL_KEEP_PEER_CERTIFICATE. Set bNoResume to turn it off.
 *
 * What it costs, measured by bench/tls.sh on x86-64 with Debian's mbedTLS 2.28 (its
 * default configuration: 16 KiB record buffers each way, every cipher suite):
 * - heap (mbedTLS's calloc) per link: 44.7 KB at the handshake's peak, 36.8 KB held
 *   while the link is up (mostly the two record buffers), also while it carries
 *   2048-byte frames; all of it is released when the link closes or its handshake fails,
 *   but for the session kept for resuming (1.6 KB with the agent's certificate);
 * - heap once, for the setup: the parsed CA certificate, 0.8 KB for one;
 * - static memory: 41 KB, of which 38 KB is mbedTLS's entropy context in Debian's build
 *   (its HAVEGE collector), 0.7 KB one mbedtls_ssl_context per link
 *   (XR_DEV_TCP_TLS_LINK_NUM) and 1 KB the configuration, CA chain and random generator;
 * - code: this port 5.9 KB (g++ -Os; 7.9 KB at -O2); the mbedTLS code and constants it
 *   links in statically, 482 KB.
 * - a resumed handshake: 0.69 M instructions on the device against 85.4 M for a full one
 *   (x86-64, P-256 ECDSA certificate), 531 bytes sent and 144 received against 494 and 946.
 * A device's own mbedTLS build shrinks all of these: MBEDTLS_SSL_IN_CONTENT_LEN and
 * MBEDTLS_SSL_OUT_CONTENT_LEN of 4096 and 2048 cut the record buffers to about 6 KB (the
 * port asks the agent for records of at most 2048 bytes, the largest frame, through the
 * maximum-fragment-length extension where mbedTLS has it), an entropy source of the
 * device's own (or Random below) drops HAVEGE, and one cipher suite with only the
 * algorithms it needs (say ECDHE-ECDSA with AES-128-GCM) cuts the code to a small
 * fraction. With own_mbedtls/config_host.h (ECDHE-ECDSA with AES-128-GCM, secp256r1 and
 * secp384r1, restartable ECC; bench/tls.sh): 12.6 KB of heap per link at the handshake's
 * peak, 8.4 KB while it is up, 0.2 KB kept for resuming; 3.5 KB of static memory for two
 * links; 196 KB of mbedTLS code on x86-64 (with config_board.h on a Cortex-M4 at -Os,
 * 68 KB, nearly all of which the port calls for, and the port's own 3.9 KB:
 * .ci/tls-steps.sh); a full handshake 61.4 M instructions, a resumed one 0.52 M, 272 and
 * 342 bytes sent.
 *
 * A device's mbedTLS configuration may lack these (the port compiles without each):
 * - MBEDTLS_FS_IO: no files; the CA certificates come from lpCaBuf only, and a setup
 *   that names lpszCaFile fails with a log line.
 * - MBEDTLS_HAVE_TIME_DATE: no calendar clock; the validity dates of the agent's
 *   certificate and of the CA are then NOT checked, only its signature chain and name. A
 *   device with a clock gets them checked by building mbedTLS with MBEDTLS_HAVE_TIME and
 *   MBEDTLS_HAVE_TIME_DATE and giving it the time: MBEDTLS_PLATFORM_TIME_ALT with
 *   mbedtls_platform_set_time(), and MBEDTLS_PLATFORM_GMTIME_R_ALT where the C library has
 *   no gmtime_r(). A clock that is not yet set makes every certificate look not yet valid.
 * - MBEDTLS_SSL_MAX_FRAGMENT_LENGTH: the agent is not asked for small records, so the
 *   receive buffer (MBEDTLS_SSL_IN_CONTENT_LEN) must hold the agent's largest record.
 *
 * Threading: as the link library, one thread.
 * This header compiles as C99 and as C++.
 */
#ifndef XR_DEV_TCP_TLS_H
#define XR_DEV_TCP_TLS_H

#include <stddef.h>
#include <stdint.h>

#include "xr_dev_tcp.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef XR_DEV_TCP_TLS_LINK_NUM
/** TLS links that can be open at once (each holds its own mbedTLS session). */
#define XR_DEV_TCP_TLS_LINK_NUM XR_DEV_TCP_LINK_NUM
#endif

#ifndef XR_DEV_TCP_TLS_LOG_LINE_SIZE
/**
 * Room for one of the port's log lines (a failed handshake's reason with it), its NUL
 * counted: a longer line is cut to it. The line is built on the stack of the call that
 * logs, as the library's are: by default the library's setting, XR_DEV_TCP_LOG_LINE_SIZE.
 * At least 2.
 */
#define XR_DEV_TCP_TLS_LOG_LINE_SIZE XR_DEV_TCP_LOG_LINE_SIZE
#endif

#ifndef XR_DEV_TCP_TLS_ECP_MAX_OPS
/**
 * Where mbedTLS is built with MBEDTLS_ECP_RESTARTABLE: the size of one step of the
 * handshake's elliptic-curve work (mbedtls_ecp_set_max_ops(), about one multiplication
 * modulo a 256-bit prime each).
 */
#define XR_DEV_TCP_TLS_ECP_MAX_OPS 600
#endif

/** Settings of the TLS table; copied by xrDevTcpTlsSetup(), but not what they point to. */
typedef struct XR_DEV_TCP_TLS_CONFIG_S {
    /** The transport: the socket table whose connections carry the records. Copied. */
    const XR_DEV_TCP_SOCKET_CALLBACK_S *lpTransport;
    /**
     * File of CA certificates (PEM or DER) that the agent's certificate must chain to;
     * needs MBEDTLS_FS_IO.
     */
    const char *lpszCaFile;
    /**
     * Or CA certificates in memory, when lpszCaFile is NULL: DER, or PEM with its
     * terminating NUL counted in uCaSize.
     */
    const uint8_t *lpCaBuf;
    uint32_t uCaSize;
    /**
     * The name that the agent's certificate must carry (a DNS name of its
     * subjectAltName, or its Common Name); also sent as the server name indication.
     * Must stay valid while links are open.
     */
    const char *lpszServerName;
    /** Where the reasons of failures go, one line each (level 0); NULL: nowhere. */
    XR_DEV_TCP_LOG_FUNC lpLog;
    /**
     * Random numbers for the handshakes: fill @p lpBuf with @p uSize bytes, 0 on
     * success. NULL: mbedTLS's entropy sources and its CTR-DRBG, which need a platform
     * entropy source (Linux, macOS, Windows) or one added to the mbedTLS build.
     */
    int (*Random)(void *lpCtx, unsigned char *lpBuf, size_t uSize);
    void *lpRandomCtx;
    /**
     * The device's hardware random source, when Random is NULL: added to mbedTLS's entropy
     * collector as a strong source, which seeds (and reseeds) the CTR-DRBG, so that a
     * device without a platform entropy source (MBEDTLS_NO_PLATFORM_ENTROPY) can run it.
     * Fill @p lpBuf with up to @p uSize bytes of full entropy, store their number in
     * @p lpOutLen, answer 0 (or MBEDTLS_ERR_ENTROPY_SOURCE_FAILED). NULL: mbedTLS's own
     * sources only. The entropy context takes 37.9 KB of static memory in Debian's build,
     * 36.9 KB of it the HAVEGE collector: a device build without MBEDTLS_HAVEGE_C, with
     * this source, has one of about 1.1 KB.
     */
    int (*Entropy)(void *lpCtx, unsigned char *lpBuf, size_t uSize, size_t *lpOutLen);
    void *lpEntropyCtx;
    /** Not 0: no session is kept or offered; every connection makes a full handshake. */
    int32_t bNoResume;
    /**
     * The transport's wait, for a device driven by events (xrDevTcpPosixWait, say): sleep
     * up to @p uTimeoutMs until one of its sockets is ready; 1, 0 when the time ran out,
     * -1 on failure. NULL: xrDevTcpTlsWait() cannot wait.
     */
    int32_t (*TransportWait)(uint32_t uTimeoutMs);
} XR_DEV_TCP_TLS_CONFIG_S;

/**
 * Load the CA certificates, seed the random generator and prepare the TLS 1.2 client
 * configuration. A second call replaces the first; no TLS link may be open then.
 * @return 0, or -1 after a log line that says what is wrong (no transport, no CA, a CA
 *         that does not parse, no server name, no random numbers).
 */
int32_t xrDevTcpTlsSetup(const XR_DEV_TCP_TLS_CONFIG_S *lpConfig);

/** The TLS socket table, to install with xrDevTcpSetCallback(). */
const XR_DEV_TCP_SOCKET_CALLBACK_S *xrDevTcpTlsSocketTable(void);

/**
 * Sleep until a TLS link has something for the library, for a device driven by events: at
 * once when mbedTLS already holds what a read would return (decrypted data, or a record
 * read from the transport and not yet handled) or a handshake step can run without the
 * network (an elliptic-curve step that a restartable build split, a byte read while the
 * connection was being made); otherwise the transport's wait (TransportWait), which wakes
 * for the records.
 * @param uTimeoutMs the longest wait in milliseconds (XR_DEV_TCP_NO_DEADLINE: no limit)
 * @return 1 when something is ready, 0 when the time ran out, -1 when the transport's wait
 *         failed or none was given.
 */
int32_t xrDevTcpTlsWait(uint32_t uTimeoutMs);

/** Close every TLS link that is still open and free what the setup loaded. */
void xrDevTcpTlsCleanup(void);

#ifdef __cplusplus
}
#endif

#endif /* XR_DEV_TCP_TLS_H */
