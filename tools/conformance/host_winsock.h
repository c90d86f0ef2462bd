// SPDX-License-Identifier: MIT
// The host's own sockets on Windows (host_winsock.cpp), once Windows Sockets is started.
#ifndef DEVTCP_CONFORMANCE_HOST_WINSOCK_H
#define DEVTCP_CONFORMANCE_HOST_WINSOCK_H

#include "conformance.h"

const XR_DEV_TCP_CONFORMANCE_HOST_S *conformanceWinsockHost();

#endif
