/* SPDX-License-Identifier: MIT */
/* What a device's mbedTLS needs for devtcp::tls, included by config_board.h and
 * config_host.h: a TLS 1.2 client with one key exchange, ECDHE-ECDSA, over the
 * short-Weierstrass curves secp256r1 and secp384r1, AES-128-GCM, SHA-256, X.509
 * certificates in PEM or DER, session tickets and the maximum-fragment-length request.
 *
 * The handshake's elliptic-curve work is split into steps (MBEDTLS_ECP_RESTARTABLE, with
 * the step's size set by the port through mbedtls_ecp_set_max_ops()), so that no call of
 * the link library runs for long on a slow processor. mbedTLS splits it for a client with
 * ECDHE-ECDSA only, and not on Curve25519: hence the one key exchange and the curves.
 * MBEDTLS_ECDH_LEGACY_CONTEXT must stay defined: restartable ECDH works on that context. */
#ifndef DEVTCP_MBEDTLS_DEVICE_TLS_H
#define DEVTCP_MBEDTLS_DEVICE_TLS_H

/* TLS 1.2 client */
#define MBEDTLS_SSL_TLS_C
#define MBEDTLS_SSL_CLI_C
#define MBEDTLS_SSL_PROTO_TLS1_2
#define MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA_ENABLED
#define MBEDTLS_SSL_CIPHERSUITES MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256
#define MBEDTLS_SSL_SERVER_NAME_INDICATION
#define MBEDTLS_SSL_SESSION_TICKETS
#define MBEDTLS_SSL_EXTENDED_MASTER_SECRET
#define MBEDTLS_SSL_MAX_FRAGMENT_LENGTH
/* Records: the agent is asked for at most 2048 bytes each (the largest frame); a
 * handshake message (its certificate chain) must fit the receive buffer whole. */
#define MBEDTLS_SSL_IN_CONTENT_LEN 4096
#define MBEDTLS_SSL_OUT_CONTENT_LEN 2048

/* Certificates */
#define MBEDTLS_X509_USE_C
#define MBEDTLS_X509_CRT_PARSE_C
#define MBEDTLS_X509_CHECK_KEY_USAGE
#define MBEDTLS_X509_CHECK_EXTENDED_KEY_USAGE
#define MBEDTLS_PK_C
#define MBEDTLS_PK_PARSE_C
#define MBEDTLS_PEM_PARSE_C
#define MBEDTLS_BASE64_C
#define MBEDTLS_OID_C
#define MBEDTLS_ASN1_PARSE_C
#define MBEDTLS_ASN1_WRITE_C

/* Elliptic curves, in steps */
#define MBEDTLS_BIGNUM_C
#define MBEDTLS_ECP_C
#define MBEDTLS_ECDH_C
#define MBEDTLS_ECDSA_C
#define MBEDTLS_ECP_DP_SECP256R1_ENABLED
#define MBEDTLS_ECP_DP_SECP384R1_ENABLED
#define MBEDTLS_ECP_NIST_OPTIM
#define MBEDTLS_ECP_RESTARTABLE
#define MBEDTLS_ECDH_LEGACY_CONTEXT
#define MBEDTLS_MPI_MAX_SIZE 48 /* 384 bits */
#define MBEDTLS_ECP_MAX_BITS 384
/* Smaller tables of points (less RAM; a smaller least step), none kept between handshakes */
#define MBEDTLS_ECP_WINDOW_SIZE 4
#define MBEDTLS_ECP_FIXED_POINT_OPTIM 0

/* Symmetric algorithms and the random generator (the entropy pool on SHA-256) */
#define MBEDTLS_AES_C
#define MBEDTLS_AES_ROM_TABLES
#define MBEDTLS_AES_FEWER_TABLES
#define MBEDTLS_GCM_C
#define MBEDTLS_CIPHER_C
#define MBEDTLS_MD_C
#define MBEDTLS_SHA256_C
#define MBEDTLS_ENTROPY_C
#define MBEDTLS_ENTROPY_FORCE_SHA256
#define MBEDTLS_CTR_DRBG_C

#endif
