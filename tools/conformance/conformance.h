/* SPDX-License-Identifier: MIT */
/**
 * @file conformance.h
 * What a porter writes to run the conformance kit on a socket table of their own:
 * ConformancePort() prepares the port (starts the stack, loads certificates, ...) and hands
 * back the table; ConformanceHost() hands back the host's own sockets, which the kit uses
 * to check the agent before it tries the port and to play the peers of the points that the
 * agent cannot play (a slow reader, a peer that never answers, a peer that watches for the
 * close). The kit (conformance.cpp) then checks the table; see README.md beside this file.
 */
#ifndef DEVTCP_CONFORMANCE_H
#define DEVTCP_CONFORMANCE_H

#include "xr_dev_tcp.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * The host's own sockets, which the kit trusts. Every entry may be NULL: the points that
 * need it are then reported as not run, with the reason.
 */
typedef struct XR_DEV_TCP_CONFORMANCE_HOST_S {
    /**
     * A table known to work (the host's own): the kit connects to the agent through it
     * before it tries the port, so that a wrong address is a setup error, not the port's
     * failure. Its SocketSend, SocketRecv and SocketClose also serve the connections
     * that Accept() hands out.
     */
    const XR_DEV_TCP_SOCKET_CALLBACK_S *lpSockets;
    /** Where lpSockets reach the agent; NULL: at the kit's --agent address. */
    const char *lpszAgent;
    /** Non-zero: the agent speaks TLS, and the kit only connects to it first. */
    int32_t iAgentTls;
    /**
     * Why the bytes that the port writes cannot be read by the kit's own peers as they
     * were given (the TLS port encrypts them), or NULL when they can.
     */
    const char *lpszPeersBlind;
    /**
     * A listening socket on an address that the port under test reaches, written to
     * @p lpszAddr in the port's address form; its handle, or negative.
     * Closed with lpSockets->SocketClose.
     */
    int32_t (*Listen)(char *lpszAddr, uint32_t uSize);
    /** A connection that has come to @p iListener, or negative when none has yet. */
    int32_t (*Accept)(int32_t iListener);
    /**
     * An address where a connection attempt stays pending (a listener whose backlog is
     * full, or a peer whose packets go nowhere), written to @p lpszAddr; 0, or negative
     * when the host cannot make one. Stays valid until the kit ends.
     */
    int32_t (*Silent)(char *lpszAddr, uint32_t uSize);
    /**
     * Lets the process hold at most @p iMore descriptors more than it holds now, so that
     * a port that keeps one per connection runs out; negative @p iMore lifts the limit
     * again. 0 when done.
     */
    int32_t (*LimitHandles)(int32_t iMore);
} XR_DEV_TCP_CONFORMANCE_HOST_S;

/**
 * Prepare the port under test.
 * @param argc, argv the words after "--" on the kit's command line (argc may be 0)
 * @return the port's socket table, or NULL after printing why on standard error
 */
const XR_DEV_TCP_SOCKET_CALLBACK_S *ConformancePort(int argc, char **argv);

/**
 * The host's own sockets, called after ConformancePort(); NULL where there are none (a
 * device without sockets of its own): the kit then checks only what the agent shows.
 */
const XR_DEV_TCP_CONFORMANCE_HOST_S *ConformanceHost(void);

#ifdef __cplusplus
}
#endif

#endif
