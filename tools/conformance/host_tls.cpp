// SPDX-License-Identifier: MIT
// The kit's own peers for the TLS port: the POSIX host's listeners, with a TLS server
// session (OpenSSL, as the agent's) on every connection they accept, so that the peers
// read and write what the port was given. Connections the kit makes itself stay plain.
#include "host_tls.h"

#include <map>
#include <string>

#include "host_posix.h"
#include "tls.h"

namespace {

agent::TlsServer g_server;
std::map<int32_t, ssl_st *> g_sessions;  // accepted connections and their sessions
const XR_DEV_TCP_CONFORMANCE_HOST_S *g_lpPosix = nullptr;

int32_t Accept(int32_t iListener) {
    const int32_t iSocket = g_lpPosix->Accept(iListener);
    ssl_st *lpSession = iSocket < 0 ? nullptr : g_server.accept(iSocket);
    if (iSocket >= 0 && lpSession == nullptr) {
        g_lpPosix->lpSockets->SocketClose(iSocket);
        return -1;
    }
    if (lpSession != nullptr) g_sessions[iSocket] = lpSession;
    return iSocket;
}

// A read or write of the session, in the table's terms; the handshake goes on inside them.
int32_t answer(ssize_t iResult, bool bWouldBlock) {
    return iResult > 0 ? int32_t(iResult) : bWouldBlock ? 0 : -1;
}

int32_t Send(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    const auto it = g_sessions.find(iSocket);
    if (it == g_sessions.end()) return g_lpPosix->lpSockets->SocketSend(iSocket, lpData, uSize);
    bool bWouldBlock = false;
    std::string failure;
    const ssize_t iSent = agent::tlsWrite(it->second, lpData, uSize, bWouldBlock, failure);
    return answer(iSent, bWouldBlock);
}

int32_t Recv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    const auto it = g_sessions.find(iSocket);
    if (it == g_sessions.end()) return g_lpPosix->lpSockets->SocketRecv(iSocket, lpBuf, uSize);
    bool bWouldBlock = false;
    std::string failure;
    const ssize_t iRead = agent::tlsRead(it->second, lpBuf, uSize, bWouldBlock, failure);
    return answer(iRead, bWouldBlock);
}

void Close(int32_t iSocket) {
    const auto it = g_sessions.find(iSocket);
    if (it != g_sessions.end()) {
        agent::tlsFree(it->second);
        g_sessions.erase(it);
    }
    g_lpPosix->lpSockets->SocketClose(iSocket);
}

}  // namespace

const XR_DEV_TCP_CONFORMANCE_HOST_S *conformanceTlsHost(const char *lpszCert, const char *lpszKey,
                                                        std::string &error) {
    static XR_DEV_TCP_SOCKET_CALLBACK_S s_sockets;
    static XR_DEV_TCP_CONFORMANCE_HOST_S s_host;
    g_lpPosix = conformancePosixHost(nullptr);
    if (!g_server.load(lpszCert, lpszKey, error)) return nullptr;
    s_sockets = *g_lpPosix->lpSockets;
    s_sockets.SocketSend = Send;
    s_sockets.SocketRecv = Recv;
    s_sockets.SocketClose = Close;
    s_host = *g_lpPosix;
    s_host.lpSockets = &s_sockets;
    s_host.iAgentTls = 1;
    s_host.Accept = Accept;
    return &s_host;
}
