// SPDX-License-Identifier: MIT
// TLS for the agent's connections, on OpenSSL: the server context made from the
// certificate and key files, and one session per accepted connection. OpenSSL, not
// mbedTLS as on the device side, so that the device's TLS port is shown to work with
// the TLS stack that agents on servers use, not only with itself.
#ifndef DEVTCP_AGENT_TLS_H
#define DEVTCP_AGENT_TLS_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

namespace agent {

class TlsServer {
  public:
    TlsServer() = default;
    ~TlsServer();
    TlsServer(const TlsServer &) = delete;
    TlsServer &operator=(const TlsServer &) = delete;

    // Loads the certificate chain and its key (PEM); false with @p error on failure.
    bool load(const std::string &certFile, const std::string &keyFile, std::string &error);
    // A server session on the connected, non-blocking @p fd; nullptr on failure.
    ssl_st *accept(int fd) const;

  private:
    ssl_ctx_st *ctx_ = nullptr;
};

// What a TLS read or write came to, in the terms of recv() and send(): the byte count;
// -1 with @p wouldBlock for "not now" (also while the handshake waits), -1 with
// @p failure set on a failure; 0 from a read when the device closed the connection.
ssize_t tlsRead(ssl_st *ssl, uint8_t *buf, size_t size, bool &wouldBlock, std::string &failure);
ssize_t tlsWrite(ssl_st *ssl, const uint8_t *buf, size_t size, bool &wouldBlock,
                 std::string &failure);
// The session waits to write its handshake: the socket is to be polled for output.
bool tlsWantsWrite(ssl_st *ssl);
// The session holds decrypted input that a read would get without the socket: then no
// poll() would report it. Part of a record (a header cut short) is not such input: it
// waits for the rest, which poll() reports.
bool tlsHasPending(ssl_st *ssl);
// The last write waits for input before it can go on (a handshake the device started).
bool tlsWantsRead(ssl_st *ssl);
void tlsFree(ssl_st *ssl);

}  // namespace agent

#endif
