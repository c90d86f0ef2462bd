// SPDX-License-Identifier: MIT
// The address form that every port reads: a dotted IPv4 address, a colon and a decimal
// port, as in "192.168.1.10:8800". Read without any name lookup, which would block.
#ifndef DEVTCP_PORTS_SOCKET_ADDRESS_H
#define DEVTCP_PORTS_SOCKET_ADDRESS_H

#include <stdint.h>

namespace devtcp_port {

/**
 * Read "a.b.c.d:port". The host must be four decimal numbers from 0 to 255 joined by dots,
 * without leading zeros or anything else: a mistyped host must not turn into a
 * connection to some other address. The port is the number after the first colon read
 * the way atoi reads it (leading blanks, a sign, digits up to the first other character),
 * kept to its low 16 bits: "" and "x" give 0, "80x" 80, "-1" 65535, "70000" 4464; no
 * colon gives port 0.
 * @param uHost the address in host byte order (127.0.0.1 is 0x7F000001)
 * @return false, leaving the outputs undefined, when @p lpszAddr is null or its host is
 *         not such an address.
 */
inline bool ParseSocketAddress(const char *lpszAddr, uint32_t &uHost, uint16_t &usPort) {
    if (lpszAddr == nullptr) {
        return false;
    }
    const char *p = lpszAddr;
    uHost = 0;
    for (int iPart = 0; iPart < 4; ++iPart) {
        if ((iPart > 0 && *p++ != '.') || *p < '0' || *p > '9') {
            return false;
        }
        uint32_t uPart = 0;
        const char *lpszStart = p;
        for (; *p >= '0' && *p <= '9'; ++p) {
            uPart = uPart * 10 + static_cast<uint32_t>(*p - '0');
            if (uPart > 255 || (p != lpszStart && *lpszStart == '0')) {
                return false;
            }
        }
        uHost = (uHost << 8) | uPart;
    }
    if (*p != '\0' && *p != ':') {
        return false;
    }
    usPort = 0;
    if (*p == '\0') {
        return true;
    }
    for (++p; *p == ' ' || (*p >= '\t' && *p <= '\r'); ++p) {
    }
    const bool bNegative = *p == '-';
    if (*p == '+' || *p == '-') {
        ++p;
    }
    // Modulo 2^16 digit by digit, so that any length of digits stays defined.
    uint32_t uPort = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        uPort = (uPort * 10 + static_cast<uint32_t>(*p - '0')) & 0xFFFFu;
    }
    usPort = static_cast<uint16_t>(bNegative ? (0x10000u - uPort) & 0xFFFFu : uPort);
    return true;
}

}  // namespace devtcp_port

#endif
