/* SPDX-License-Identifier: MIT */
/* INSECURE, FOR TESTS ONLY: see xr_dev_tcp_tls_insecure_entropy.h. */
#include "xr_dev_tcp_tls_insecure_entropy.h"

#include <stdint.h>

int xrDevTcpTlsInsecureTestEntropy(void *lpSeed, unsigned char *lpBuf, size_t uSize,
                                   size_t *lpOutLen) {
    /* A counter through the SplitMix64 mixer: bytes that look random and are not. */
    static uint64_t s_uState = 0;
    if (s_uState == 0) s_uState = 0x9E3779B97F4A7C15u ^ (lpSeed ? *(const uint32_t *)lpSeed : 0u);
    for (size_t i = 0; i < uSize; i += 8) {
        uint64_t z = (s_uState += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        z ^= z >> 31;
        for (size_t k = 0; k < 8 && i + k < uSize; ++k)
            lpBuf[i + k] = (unsigned char)(z >> (8 * k));
    }
    *lpOutLen = uSize;
    return 0;
}
