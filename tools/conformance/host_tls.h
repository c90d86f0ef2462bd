// SPDX-License-Identifier: MIT
// The kit's own peers for the TLS port (host_tls.cpp): they speak TLS with the certificate
// chain and key given; NULL with @p error when those do not load.
#ifndef DEVTCP_CONFORMANCE_HOST_TLS_H
#define DEVTCP_CONFORMANCE_HOST_TLS_H

#include <string>

#include "conformance.h"

const XR_DEV_TCP_CONFORMANCE_HOST_S *conformanceTlsHost(const char *lpszCert, const char *lpszKey,
                                                        std::string &error);

#endif
