// SPDX-License-Identifier: MIT
// The kit's own sockets inside lwIP, on lwIP's raw TCP API under the core lock: listeners
// and connections on lwIP's 127.0.0.1 that the port under test reaches, a peer on the same
// interface whose packets go nowhere, and no descriptor limit to lower, since lwIP's pools
// (a few connections) are the limit a leaking port runs into.
#include "host_lwip.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <vector>

extern "C" {  // lwipopts.h declares lwIP's core lock without C linkage
#include "lwip/tcp.h"
#include "lwip/tcpip.h"
}

namespace {

struct Conn {
    bool bUsed = false;
    tcp_pcb *lpPcb = nullptr;
    bool bConnected = false;
    bool bEnded = false;  // the peer closed, or the connection failed
    std::vector<uint8_t> in;
    std::deque<int32_t> accepted;  // a listener's connections not yet taken
};
Conn g_conns[16];

struct Locked {
    Locked() { LOCK_TCPIP_CORE(); }
    ~Locked() { UNLOCK_TCPIP_CORE(); }
};

int32_t slot() {
    for (int32_t i = 0; i < 16; ++i)
        if (!g_conns[i].bUsed) {
            g_conns[i] = Conn();
            g_conns[i].bUsed = true;
            return i;
        }
    return -1;
}

Conn &of(void *lpArg) {
    return g_conns[reinterpret_cast<intptr_t>(lpArg)];
}

// Bytes are held until the kit reads them; only then is the window opened again, so that
// a kit that reads slowly is a slow reader for the sender.
err_t onRecv(void *lpArg, tcp_pcb *, pbuf *p, err_t) {
    Conn &conn = of(lpArg);
    if (p == nullptr) {
        conn.bEnded = true;
        return ERR_OK;
    }
    const size_t uAt = conn.in.size();
    conn.in.resize(uAt + p->tot_len);
    pbuf_copy_partial(p, &conn.in[uAt], p->tot_len, 0);
    pbuf_free(p);
    return ERR_OK;
}

void onErr(void *lpArg, err_t) {
    Conn &conn = of(lpArg);
    conn.lpPcb = nullptr;  // lwIP has freed it
    conn.bEnded = true;
}

void watch(tcp_pcb *lpPcb, int32_t iConn) {
    g_conns[iConn].lpPcb = lpPcb;
    tcp_arg(lpPcb, reinterpret_cast<void *>(intptr_t(iConn)));
    tcp_recv(lpPcb, onRecv);
    tcp_err(lpPcb, onErr);
}

err_t onAccept(void *lpArg, tcp_pcb *lpPcb, err_t err) {
    const int32_t iConn = err == ERR_OK && lpPcb != nullptr ? slot() : -1;
    if (iConn < 0) {
        if (lpPcb != nullptr) tcp_abort(lpPcb);
        return ERR_ABRT;
    }
    watch(lpPcb, iConn);
    g_conns[iConn].bConnected = true;
    of(lpArg).accepted.push_back(iConn);
    return ERR_OK;
}

bool readAddress(const char *lpszAddr, ip_addr_t &addr, u16_t &usPort) {
    unsigned a = 0, b = 0, c = 0, d = 0, uPort = 0;
    if (std::sscanf(lpszAddr, "%u.%u.%u.%u:%u", &a, &b, &c, &d, &uPort) != 5 || uPort == 0 ||
        uPort > 65535)
        return false;
    IP_ADDR4(&addr, a, b, c, d);
    usPort = u16_t(uPort);
    return true;
}

int32_t Open(const char *lpszAddr) {
    ip_addr_t addr;
    u16_t usPort = 0;
    const Locked locked;
    const int32_t iConn = readAddress(lpszAddr, addr, usPort) ? slot() : -1;
    tcp_pcb *lpPcb = iConn < 0 ? nullptr : tcp_new();
    if (lpPcb == nullptr) return iConn < 0 ? -1 : (g_conns[iConn].bUsed = false, -1);
    watch(lpPcb, iConn);
    const err_t err = tcp_connect(lpPcb, &addr, usPort, [](void *lpArg, tcp_pcb *, err_t) {
        of(lpArg).bConnected = true;
        return err_t(ERR_OK);
    });
    if (err != ERR_OK) {
        tcp_abort(lpPcb);
        g_conns[iConn].bUsed = false;
        return -1;
    }
    return iConn;
}

int32_t Check(int32_t iConn) {
    const Locked locked;
    return g_conns[iConn].bConnected ? 1 : g_conns[iConn].bEnded ? -1 : 0;
}

void Close(int32_t iConn) {
    const Locked locked;
    Conn &conn = g_conns[iConn];
    for (const int32_t iWaiting : conn.accepted) {
        tcp_abort(g_conns[iWaiting].lpPcb);
        g_conns[iWaiting].bUsed = false;
    }
    if (conn.lpPcb != nullptr) {
        tcp_arg(conn.lpPcb, nullptr);
        if (conn.lpPcb->state != LISTEN) {
            tcp_recv(conn.lpPcb, nullptr);
            tcp_err(conn.lpPcb, nullptr);
        }
        if (tcp_close(conn.lpPcb) != ERR_OK) tcp_abort(conn.lpPcb);
    }
    conn = Conn();
}

int32_t Send(int32_t iConn, const uint8_t *lpData, uint32_t uSize) {
    const Locked locked;
    Conn &conn = g_conns[iConn];
    if (conn.lpPcb == nullptr) return -1;
    const u16_t usTake = u16_t(std::min<uint32_t>(uSize, tcp_sndbuf(conn.lpPcb)));
    if (usTake == 0) return 0;
    if (tcp_write(conn.lpPcb, lpData, usTake, TCP_WRITE_FLAG_COPY) != ERR_OK) return 0;
    tcp_output(conn.lpPcb);
    return usTake;
}

int32_t Recv(int32_t iConn, uint8_t *lpBuf, uint32_t uSize) {
    const Locked locked;
    Conn &conn = g_conns[iConn];
    if (conn.in.empty()) return conn.bEnded ? -1 : 0;
    const uint32_t uTake = std::min<uint32_t>({uSize, uint32_t(conn.in.size()), 0xFFFF});
    std::copy(conn.in.begin(), conn.in.begin() + uTake, lpBuf);
    conn.in.erase(conn.in.begin(), conn.in.begin() + uTake);
    if (conn.lpPcb != nullptr) tcp_recved(conn.lpPcb, u16_t(uTake));
    return int32_t(uTake);
}

int32_t Listen(char *lpszAddr, uint32_t uSize) {
    const Locked locked;
    const int32_t iConn = slot();
    tcp_pcb *lpPcb = iConn < 0 ? nullptr : tcp_new();
    tcp_pcb *lpListener = nullptr;
    if (lpPcb != nullptr && tcp_bind(lpPcb, IP4_ADDR_ANY, 0) == ERR_OK)
        lpListener = tcp_listen(lpPcb);  // frees lpPcb
    else if (lpPcb != nullptr)
        tcp_abort(lpPcb);
    if (lpListener == nullptr) {
        if (iConn >= 0) g_conns[iConn].bUsed = false;
        return -1;
    }
    g_conns[iConn].lpPcb = lpListener;
    tcp_arg(lpListener, reinterpret_cast<void *>(intptr_t(iConn)));
    tcp_accept(lpListener, onAccept);
    std::snprintf(lpszAddr, uSize, "127.0.0.1:%u", unsigned(lpListener->local_port));
    return iConn;
}

int32_t Accept(int32_t iListener) {
    const Locked locked;
    Conn &listener = g_conns[iListener];
    if (listener.accepted.empty()) return -1;
    const int32_t iConn = listener.accepted.front();
    listener.accepted.pop_front();
    return iConn;
}

// Packets to another address of the interface's network leave through its output, which
// drops them: a connection there stays pending.
int32_t Silent(char *lpszAddr, uint32_t uSize) {
    std::snprintf(lpszAddr, uSize, "127.0.0.2:9");
    return 0;
}

int32_t LimitHandles(int32_t) {
    return 0;
}

const XR_DEV_TCP_SOCKET_CALLBACK_S kSockets = {Open, Check, Close, Send, Recv};

}  // namespace

const XR_DEV_TCP_CONFORMANCE_HOST_S *conformanceLwipHost() {
    static const XR_DEV_TCP_CONFORMANCE_HOST_S s_host = {&kSockets, nullptr, 0,      nullptr,
                                                         Listen,    Accept,  Silent, LimitHandles};
    return &s_host;
}
