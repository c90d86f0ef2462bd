// SPDX-License-Identifier: MIT
#include "tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstring>

namespace agent {

namespace {

// OpenSSL's oldest queued error as text, or @p fallback when none is queued.
std::string lastError(const char *fallback) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (!code) return fallback;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// @p result of an SSL_read or SSL_write in recv() terms (see tls.h).
ssize_t outcome(ssl_st *ssl, int result, bool &wouldBlock, std::string &failure) {
    wouldBlock = false;
    if (result > 0) return result;
    int saved = errno;
    switch (SSL_get_error(ssl, result)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            wouldBlock = true;
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_SYSCALL:
            // End of file without a close-notify is an ordinary close here.
            if (!ERR_peek_error() && saved == 0) return 0;
            if (!ERR_peek_error()) {
                failure = std::string("tls: ") + strerror(saved);
                return -1;
            }
            break;
        default:
            break;
    }
    failure = "tls: " + lastError("failure without a reason");
    return -1;
}

}  // namespace

TlsServer::~TlsServer() {
    SSL_CTX_free(ctx_);
}

bool TlsServer::load(const std::string &certFile, const std::string &keyFile, std::string &error) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_ || !SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION)) {
        error = "TLS: " + lastError("no context");
        return false;
    }
    // Writes behave like send(): partial, and retried with the queue as it then is.
    SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1) {
        error = "TLS certificate " + certFile + ": " + lastError("not loaded");
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx_) != 1) {
        error = "TLS key " + keyFile + ": " + lastError("not loaded");
        return false;
    }
    return true;
}

ssl_st *TlsServer::accept(int fd) const {
    SSL *ssl = SSL_new(ctx_);
    if (ssl && SSL_set_fd(ssl, fd) == 1) {
        SSL_set_accept_state(ssl);
        return ssl;
    }
    SSL_free(ssl);
    ERR_clear_error();
    return nullptr;
}

ssize_t tlsRead(ssl_st *ssl, uint8_t *buf, size_t size, bool &wouldBlock, std::string &failure) {
    errno = 0;
    return outcome(ssl, SSL_read(ssl, buf, int(size)), wouldBlock, failure);
}

ssize_t tlsWrite(ssl_st *ssl, const uint8_t *buf, size_t size, bool &wouldBlock,
                 std::string &failure) {
    errno = 0;
    return outcome(ssl, SSL_write(ssl, buf, int(size)), wouldBlock, failure);
}

bool tlsWantsWrite(ssl_st *ssl) {
    return ssl && SSL_want_write(ssl);
}

bool tlsHasPending(ssl_st *ssl) {
    // SSL_has_pending() would also count a record's first bytes, which no read completes.
    return ssl && SSL_pending(ssl) > 0;
}

bool tlsWantsRead(ssl_st *ssl) {
    return ssl && SSL_want_read(ssl);
}

void tlsFree(ssl_st *ssl) {
    SSL_free(ssl);
}

}  // namespace agent
