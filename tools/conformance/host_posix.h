// SPDX-License-Identifier: MIT
// The host's own sockets on POSIX (host_posix.cpp), for the setups of ports on POSIX
// sockets: the agent speaks TLS, and the kit's peers cannot read the port's bytes, when
// @p lpszPeersBlind says why.
#ifndef DEVTCP_CONFORMANCE_HOST_POSIX_H
#define DEVTCP_CONFORMANCE_HOST_POSIX_H

#include "conformance.h"

const XR_DEV_TCP_CONFORMANCE_HOST_S *conformancePosixHost(const char *lpszPeersBlind);

#endif
