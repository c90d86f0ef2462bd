// SPDX-License-Identifier: MIT
// The socket operations on lwIP's raw TCP API. lwIP's callbacks (from inside its input,
// its timers or a tcp_ call) copy what arrives into a fixed buffer per connection and note
// its state; the operations read them, and none waits. No heap of the port's own.
#include "xr_dev_tcp_lwip_raw.h"

#include <string.h>

#include "lwip/tcp.h"
#include "port_common.h"

#ifndef XR_DEV_TCP_LWIP_RAW_CONN_NUM
#define XR_DEV_TCP_LWIP_RAW_CONN_NUM XR_DEV_TCP_LINK_NUM
#endif
#ifndef XR_DEV_TCP_LWIP_RAW_RX_SIZE
#define XR_DEV_TCP_LWIP_RAW_RX_SIZE TCP_WND
#endif

namespace {

constexpr uint32_t kRxSize = XR_DEV_TCP_LWIP_RAW_RX_SIZE;

enum class State : uint8_t { Free, Connecting, Up, Closed, Failed };

struct Conn {
    tcp_pcb *lpPcb;  // nullptr once lwIP has freed it at a failure
    State eState;
    err_t iErr;              // the failure, for the reports
    uint32_t uHead, uCount;  // bytes held in ucRx from uHead on, wrapping around
    pbuf *lpMore;            // what arrived when ucRx was full: it follows ucRx's bytes
    uint8_t ucRx[kRxSize];
};

Conn g_stConn[XR_DEV_TCP_LWIP_RAW_CONN_NUM];
devtcp_port::ErrorHook g_hook;

Conn *Find(int32_t iSocket) {
    if (iSocket < 0 || iSocket >= XR_DEV_TCP_LWIP_RAW_CONN_NUM) {
        return nullptr;
    }
    Conn &conn = g_stConn[iSocket];
    return conn.eState == State::Free ? nullptr : &conn;
}

err_t OnConnected(void *lpArg, tcp_pcb *, err_t) {
    static_cast<Conn *>(lpArg)->eState = State::Up;
    return ERR_OK;
}

// A reset, a refused or timed-out connect, an abort: lwIP has freed the pcb already.
void OnError(void *lpArg, err_t iErr) {
    Conn &conn = *static_cast<Conn *>(lpArg);
    conn.lpPcb = nullptr;
    conn.iErr = iErr;
    conn.eState = State::Failed;
}

// Everything lwIP delivers is taken: what fits goes into the buffer, the rest stays in its
// pbufs, queued behind it, until SocketRecv takes it. (lwIP offers data that is refused
// again only whole, so a pbuf larger than the free room would never be taken.) lwIP's
// window, opened again only for bytes taken by SocketRecv, bounds what the queue holds.
// No pbuf means the peer's orderly close.
err_t OnReceive(void *lpArg, tcp_pcb *, pbuf *p, err_t) {
    Conn &conn = *static_cast<Conn *>(lpArg);
    if (p == nullptr) {
        conn.eState = State::Closed;
        return ERR_OK;
    }
    if (conn.lpMore != nullptr) {
        // A chain counts its length in 16 bits: past that, lwIP offers this one again later.
        if (conn.lpMore->tot_len + p->tot_len > 0xFFFFu) {
            return ERR_MEM;
        }
        pbuf_cat(conn.lpMore, p);
        return ERR_OK;
    }
    const uint32_t uTail = (conn.uHead + conn.uCount) % kRxSize;
    const uint32_t uFit = p->tot_len < kRxSize - conn.uCount ? p->tot_len : kRxSize - conn.uCount;
    const uint32_t uFirst = uFit < kRxSize - uTail ? uFit : kRxSize - uTail;
    pbuf_copy_partial(p, conn.ucRx + uTail, static_cast<u16_t>(uFirst), 0);
    pbuf_copy_partial(p, conn.ucRx, static_cast<u16_t>(uFit - uFirst), static_cast<u16_t>(uFirst));
    conn.uCount += uFit;
    conn.lpMore = pbuf_free_header(p, static_cast<u16_t>(uFit));
    return ERR_OK;
}

// Closes the connection, if lwIP still has it, without any callback, and frees the entry.
void Release(Conn &conn) {
    if (conn.lpPcb != nullptr) {
        tcp_arg(conn.lpPcb, nullptr);
        tcp_err(conn.lpPcb, nullptr);
        tcp_recv(conn.lpPcb, nullptr);
        if (tcp_close(conn.lpPcb) != ERR_OK) {
            tcp_abort(conn.lpPcb);
        }
    }
    if (conn.lpMore != nullptr) {
        pbuf_free(conn.lpMore);
    }
    conn.lpPcb = nullptr;
    conn.lpMore = nullptr;
    conn.eState = State::Free;
}

int32_t Open(const char *lpszAddr) {
    uint32_t uHost = 0;
    uint16_t usPort = 0;
    if (!g_hook.ReadAddress(lpszAddr, uHost, usPort)) {
        return -1;
    }
    int32_t iSocket = 0;
    while (iSocket < XR_DEV_TCP_LWIP_RAW_CONN_NUM && g_stConn[iSocket].eState != State::Free) {
        ++iSocket;
    }
    tcp_pcb *lpPcb =
        iSocket < XR_DEV_TCP_LWIP_RAW_CONN_NUM ? tcp_new_ip_type(IPADDR_TYPE_V4) : nullptr;
    if (lpPcb == nullptr) {
        g_hook.Report("SocketOpen", -ERR_MEM);
        return -1;
    }
    Conn &conn = g_stConn[iSocket];
    conn.lpPcb = lpPcb;
    conn.eState = State::Connecting;
    conn.iErr = ERR_OK;
    conn.uHead = conn.uCount = 0;
    tcp_arg(lpPcb, &conn);
    tcp_err(lpPcb, OnError);
    tcp_recv(lpPcb, OnReceive);
    const ip_addr_t ip = IPADDR4_INIT(lwip_htonl(uHost));
    const err_t iErr = tcp_connect(lpPcb, &ip, usPort, OnConnected);
    if (iErr != ERR_OK) {
        g_hook.Report("SocketOpen", -iErr);
        Release(conn);
        return -1;
    }
    return iSocket;
}

int32_t Check(int32_t iSocket) {
    const Conn *lpConn = Find(iSocket);
    if (lpConn == nullptr) {
        return -1;
    }
    return lpConn->eState == State::Up || lpConn->eState == State::Closed ? 1 : 0;
}

void Close(int32_t iSocket) {
    Conn *lpConn = Find(iSocket);
    if (lpConn != nullptr) {
        Release(*lpConn);
    }
}

int32_t Send(int32_t iSocket, const uint8_t *lpData, uint32_t uSize) {
    Conn *lpConn = Find(iSocket);
    if (lpConn == nullptr) {
        return -1;
    }
    if (lpConn->eState == State::Failed) {
        return g_hook.Sent(-1, false, -lpConn->iErr);
    }
    if (lpConn->eState == State::Connecting) {
        return 0;
    }
    uint32_t uTake = tcp_sndbuf(lpConn->lpPcb);
    uTake = uSize < uTake ? uSize : uTake;
    uTake = uTake < 0xFFFFu ? uTake : 0xFFFFu;  // tcp_write counts in 16 bits
    if (uTake == 0) {
        return 0;
    }
    const err_t iErr =
        tcp_write(lpConn->lpPcb, lpData, static_cast<u16_t>(uTake), TCP_WRITE_FLAG_COPY);
    // ERR_MEM: no segment or pbuf free now (TCP_SND_QUEUELEN, the pools), try later.
    if (iErr != ERR_OK) {
        return g_hook.Sent(-1, iErr == ERR_MEM, -iErr);
    }
    tcp_output(lpConn->lpPcb);
    return static_cast<int32_t>(uTake);
}

int32_t Recv(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize) {
    Conn *lpConn = Find(iSocket);
    if (lpConn == nullptr) {
        return -1;
    }
    Conn &conn = *lpConn;
    // What arrived before a close or a failure is read first: the buffer's bytes, then the
    // queued pbufs'. tcp_recved counts in 16 bits.
    uSize = uSize < 0xFFFFu ? uSize : 0xFFFFu;
    uint32_t uTake = uSize < conn.uCount ? uSize : conn.uCount;
    const uint32_t uFirst = uTake < kRxSize - conn.uHead ? uTake : kRxSize - conn.uHead;
    memcpy(lpBuf, conn.ucRx + conn.uHead, uFirst);
    memcpy(lpBuf + uFirst, conn.ucRx, uTake - uFirst);
    conn.uHead = (conn.uHead + uTake) % kRxSize;
    conn.uCount -= uTake;
    if (conn.lpMore != nullptr && uTake < uSize) {
        const uint32_t uMore =
            uSize - uTake < conn.lpMore->tot_len ? uSize - uTake : conn.lpMore->tot_len;
        pbuf_copy_partial(conn.lpMore, lpBuf + uTake, static_cast<u16_t>(uMore), 0);
        conn.lpMore = pbuf_free_header(conn.lpMore, static_cast<u16_t>(uMore));
        uTake += uMore;
    }
    if (uTake == 0) {
        if (conn.eState == State::Failed) {
            g_hook.Report("SocketRecv", -conn.iErr);
            return -1;
        }
        return conn.eState == State::Closed ? -1 : 0;
    }
    // Acknowledged as taken: the peer may send that much more.
    if (conn.lpPcb != nullptr) {
        tcp_recved(conn.lpPcb, static_cast<u16_t>(uTake));
    }
    return static_cast<int32_t>(uTake);
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets = {Open, Check, Close, Send, Recv};

}  // namespace

const XR_DEV_TCP_SOCKET_CALLBACK_S *xrDevTcpLwipRawSockets(void) {
    return &kSockets;
}

void xrDevTcpLwipRawSetErrorHook(void (*lpHook)(const char *lpszOperation, int32_t iError)) {
    g_hook.Set(lpHook);
}
