// SPDX-License-Identifier: MIT
// Setup and cleanup of the TLS port: the CA certificates, the random generator and the
// TLS 1.2 client configuration that every link shares; its log line helper.
#include <mbedtls/error.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tls_state.h"

using namespace devtcp_tls;

devtcp_tls::TlsState devtcp_tls::g_stTls;

namespace {

// Mixed into the random generator's seed so that its stream is this port's own.
constexpr unsigned char kDrbgLabel[] = "devtcp-tls";
// Bytes that the device's entropy source must give before the collector may be read.
constexpr size_t kEntropyThreshold = 32;

#ifdef MBEDTLS_ECP_RESTARTABLE
// Those of the build's cipher suites and curves whose elliptic-curve work mbedTLS splits.
const int kStepSuites[] = {MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
                           MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
                           MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
                           MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_CCM,
                           MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256,
                           0};
const mbedtls_ecp_group_id kStepCurves[] = {
#ifdef MBEDTLS_ECP_DP_SECP256R1_ENABLED
    MBEDTLS_ECP_DP_SECP256R1,
#endif
#ifdef MBEDTLS_ECP_DP_SECP384R1_ENABLED
    MBEDTLS_ECP_DP_SECP384R1,
#endif
#ifdef MBEDTLS_ECP_DP_SECP521R1_ENABLED
    MBEDTLS_ECP_DP_SECP521R1,
#endif
#ifdef MBEDTLS_ECP_DP_BP256R1_ENABLED
    MBEDTLS_ECP_DP_BP256R1,
#endif
    MBEDTLS_ECP_DP_NONE};
#endif

bool g_bInitialised = false;  // the mbedTLS contexts of g_stTls are initialised

void initContexts() {
    mbedtls_ssl_config_init(&g_stTls.stConf);
    mbedtls_x509_crt_init(&g_stTls.stCa);
    mbedtls_entropy_init(&g_stTls.stEntropy);
    mbedtls_ctr_drbg_init(&g_stTls.stDrbg);
    g_bInitialised = true;
}

int loadCa(const XR_DEV_TCP_TLS_CONFIG_S &cfg) {
    int iErr;
    if (cfg.lpszCaFile != nullptr) {
#ifdef MBEDTLS_FS_IO
        iErr = mbedtls_x509_crt_parse_file(&g_stTls.stCa, cfg.lpszCaFile);
#else
        tlsLog(
            "xrDevTcpTlsSetup: this mbedTLS reads no files (no MBEDTLS_FS_IO): give the CA "
            "certificates in lpCaBuf");
        return -1;
#endif
    } else if (cfg.lpCaBuf != nullptr && cfg.uCaSize != 0) {
        iErr = mbedtls_x509_crt_parse(&g_stTls.stCa, cfg.lpCaBuf, cfg.uCaSize);
    } else {
        tlsLog("xrDevTcpTlsSetup: no CA certificate given");
        return -1;
    }
    // A positive result counts certificates of a bundle that did not parse; the others
    // are in use.
    if (iErr < 0 || g_stTls.stCa.version == 0) {
        tlsLogError(iErr, "xrDevTcpTlsSetup: CA certificates not loaded from %s: ",
                    cfg.lpszCaFile != nullptr ? cfg.lpszCaFile : "the buffer");
        return -1;
    }
    return 0;
}

int configure(const XR_DEV_TCP_TLS_CONFIG_S &cfg) {
    mbedtls_ssl_config &conf = g_stTls.stConf;
    int iErr = mbedtls_ssl_config_defaults(
        &conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    if (iErr != 0) return iErr;
    mbedtls_ssl_conf_min_version(&conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_max_version(&conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_authmode(&conf, MBEDTLS_SSL_VERIFY_REQUIRED);
    mbedtls_ssl_conf_ca_chain(&conf, &g_stTls.stCa, nullptr);
#ifdef MBEDTLS_SSL_MAX_FRAGMENT_LENGTH
    // No frame is larger than 2048 bytes; an agent that honours the request lets a
    // device build mbedTLS with small receive buffers.
    iErr = mbedtls_ssl_conf_max_frag_len(&conf, MBEDTLS_SSL_MAX_FRAG_LEN_2048);
    if (iErr != 0) return iErr;
#endif
#ifdef MBEDTLS_ECP_RESTARTABLE
    // The handshake's elliptic-curve work in steps of XR_DEV_TCP_TLS_ECP_MAX_OPS: mbedTLS
    // splits it for ECDHE-ECDSA, on the short-Weierstrass curves (secp256r1 first), only.
    mbedtls_ssl_conf_ciphersuites(&conf, kStepSuites);
    mbedtls_ssl_conf_curves(&conf, kStepCurves);
    mbedtls_ecp_set_max_ops(XR_DEV_TCP_TLS_ECP_MAX_OPS);
#endif
    if (cfg.Random != nullptr) {
        mbedtls_ssl_conf_rng(&conf, cfg.Random, cfg.lpRandomCtx);
        return 0;
    }
    if (cfg.Entropy != nullptr) {
        iErr = mbedtls_entropy_add_source(&g_stTls.stEntropy, cfg.Entropy, cfg.lpEntropyCtx,
                                          kEntropyThreshold, MBEDTLS_ENTROPY_SOURCE_STRONG);
        if (iErr != 0) return iErr;
    }
    iErr = mbedtls_ctr_drbg_seed(&g_stTls.stDrbg, mbedtls_entropy_func, &g_stTls.stEntropy,
                                 kDrbgLabel, sizeof kDrbgLabel - 1);
    if (iErr == 0) mbedtls_ssl_conf_rng(&conf, mbedtls_ctr_drbg_random, &g_stTls.stDrbg);
    return iErr;
}

}  // namespace

namespace {

void addV(LogLine &line, const char *lpszFormat, va_list args) {
    const int iLen = std::vsnprintf(line.rest(), line.room(), lpszFormat, args);
    if (iLen > 0) line.uLen += std::min(static_cast<size_t>(iLen), line.room() - 1);
}

}  // namespace

void devtcp_tls::LogLine::add(const char *lpszFormat, ...) {
    va_list args;
    va_start(args, lpszFormat);
    addV(*this, lpszFormat, args);
    va_end(args);
}

void devtcp_tls::LogLine::grew() {
    uLen += std::strlen(szText + uLen);
}

void devtcp_tls::LogLine::send() const {
    if (g_stTls.lpLog != nullptr) g_stTls.lpLog(0, szText);
}

bool devtcp_tls::logging() {
    return g_stTls.lpLog != nullptr;
}

void devtcp_tls::tlsLog(const char *lpszFormat, ...) {
    if (!logging()) return;
    LogLine line;
    va_list args;
    va_start(args, lpszFormat);
    addV(line, lpszFormat, args);
    va_end(args);
    line.send();
}

void devtcp_tls::tlsLogError(int iErr, const char *lpszFormat, ...) {
    if (!logging()) return;
    LogLine line;
    va_list args;
    va_start(args, lpszFormat);
    addV(line, lpszFormat, args);
    va_end(args);
    describeError(iErr, line.rest(), line.room());
    line.grew();
    line.send();
}

void devtcp_tls::describeError(int iErr, char *lpszOut, size_t uSize) {
#ifdef MBEDTLS_ERROR_C
    mbedtls_strerror(iErr, lpszOut, uSize);
#else
    std::snprintf(lpszOut, uSize, "mbedTLS error -0x%04X", unsigned(-iErr));
#endif
}

void devtcp_tls::forgetSession(TlsLink &link) {
    if (link.bSession) mbedtls_ssl_session_free(&link.stSession);
    link.bSession = false;
    link.szSessionAddr[0] = '\0';
}

void devtcp_tls::releaseLink(TlsLink &link) {
    if (link.ePhase != Phase::Failed) mbedtls_ssl_free(&link.stSsl);
    link.ePhase = Phase::Free;
    link.iTransport = -1;
    link.uPendingSize = 0;
}

int32_t xrDevTcpTlsSetup(const XR_DEV_TCP_TLS_CONFIG_S *lpConfig) {
    xrDevTcpTlsCleanup();
    if (lpConfig == nullptr) return -1;
    const XR_DEV_TCP_TLS_CONFIG_S &cfg = *lpConfig;
    g_stTls.lpLog = cfg.lpLog;
    if (cfg.lpTransport == nullptr) {
        tlsLog("xrDevTcpTlsSetup: no transport socket table");
        return -1;
    }
    if (cfg.lpszServerName == nullptr || cfg.lpszServerName[0] == '\0') {
        tlsLog("xrDevTcpTlsSetup: no server name to verify the agent's certificate against");
        return -1;
    }
    initContexts();
    if (loadCa(cfg) != 0) return -1;
    const int iErr = configure(cfg);
    if (iErr != 0) {
        tlsLogError(iErr, "xrDevTcpTlsSetup: TLS configuration failed: ");
        return -1;
    }
    g_stTls.stTransport = *cfg.lpTransport;
    g_stTls.lpTransportWait = cfg.TransportWait;
    g_stTls.lpszServerName = cfg.lpszServerName;
    g_stTls.bResume = cfg.bNoResume == 0;
    g_stTls.bReady = true;
    return 0;
}

void xrDevTcpTlsCleanup(void) {
    for (TlsLink &link : g_stTls.stLink) {
        forgetSession(link);
        if (link.ePhase == Phase::Free) continue;
        if (link.iTransport >= 0 && g_stTls.stTransport.SocketClose != nullptr)
            g_stTls.stTransport.SocketClose(link.iTransport);
        releaseLink(link);
    }
    if (g_bInitialised) {
        mbedtls_ssl_config_free(&g_stTls.stConf);
        mbedtls_x509_crt_free(&g_stTls.stCa);
        mbedtls_ctr_drbg_free(&g_stTls.stDrbg);
        mbedtls_entropy_free(&g_stTls.stEntropy);
        g_bInitialised = false;
    }
    g_stTls.bReady = false;
    g_stTls.lpLog = nullptr;
}
