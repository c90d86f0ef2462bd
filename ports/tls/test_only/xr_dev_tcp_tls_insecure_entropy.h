/* SPDX-License-Identifier: MIT */
/**
 * @file xr_dev_tcp_tls_insecure_entropy.h
 * @brief INSECURE, FOR TESTS ONLY: an entropy source for a board without a random number
 * generator, such as the emulated board of the examples.
 *
 * !!! NEVER SHIP THIS IN A PRODUCT. !!!
 * Its bytes are a fixed function of the seed it is given: whoever knows or guesses the
 * seed (a boot counter, a timer value) knows every key the device makes, and so can read
 * and forge its traffic. A device needs a true random source: a hardware RNG or a seed
 * provisioned per device and kept secret.
 *
 * It exists so that an emulated board can run the TLS port at all: give it as the Entropy
 * setting of XR_DEV_TCP_TLS_CONFIG_S, with lpEntropyCtx pointing to a uint32_t seed that
 * changes from boot to boot where the board has something that does (or NULL). It is built
 * only where the build asks for it by name (the CMake setting
 * DEVTCP_TLS_INSECURE_TEST_ENTROPY=ON, target devtcp::tls_insecure_test_entropy), and the
 * configure step then warns. An application that uses it should say so when it starts.
 */
#ifndef XR_DEV_TCP_TLS_INSECURE_ENTROPY_H
#define XR_DEV_TCP_TLS_INSECURE_ENTROPY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/** INSECURE, FOR TESTS ONLY: fills @p lpBuf with @p uSize bytes derived from the seed. */
int xrDevTcpTlsInsecureTestEntropy(void *lpSeed, unsigned char *lpBuf, size_t uSize,
                                   size_t *lpOutLen);

#ifdef __cplusplus
}
#endif

#endif /* XR_DEV_TCP_TLS_INSECURE_ENTROPY_H */
