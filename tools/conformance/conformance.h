/* SPDX-License-Identifier: MIT */
/**
 * @file conformance.h
 * The one function a porter writes to run the conformance kit on a socket table of their
 * own: it prepares the port (starts the stack, loads certificates, ...) and hands back
 * the table. The kit (conformance.cpp) then checks the table's contract against a
 * running devtcp-agent; see README.md beside this file.
 */
#ifndef DEVTCP_CONFORMANCE_H
#define DEVTCP_CONFORMANCE_H

#include "xr_dev_tcp.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * Prepare the port under test.
 * @param argc, argv the words after "--" on the kit's command line (argc may be 0)
 * @return the port's socket table, or NULL after printing why on standard error
 */
const XR_DEV_TCP_SOCKET_CALLBACK_S *ConformancePort(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif
