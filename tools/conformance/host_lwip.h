// SPDX-License-Identifier: MIT
// The kit's own sockets inside lwIP (host_lwip.cpp), once lwIP runs with an interface
// 127.0.0.1/8 whose output drops what it is given.
#ifndef DEVTCP_CONFORMANCE_HOST_LWIP_H
#define DEVTCP_CONFORMANCE_HOST_LWIP_H

#include "conformance.h"

const XR_DEV_TCP_CONFORMANCE_HOST_S *conformanceLwipHost();

#endif
