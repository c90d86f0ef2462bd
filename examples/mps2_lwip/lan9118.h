/* SPDX-License-Identifier: MIT */
/* A polled lwIP network interface for the SMSC LAN9118 Ethernet controller of the MPS2
   boards (as QEMU's mps2-an386 has it, at 0x40200000): no interrupt, no DMA; the loop
   calls lan9118_poll(), which hands every received frame to lwIP. */
#ifndef LAN9118_H
#define LAN9118_H

#include <stdint.h>

#include "lwip/netif.h"

/* For netif_add(): resets the controller, sets its MAC address from netif->hwaddr and
   enables receive, then transmit. ERR_IF when no LAN9118 answers at the address. */
err_t lan9118_init(struct netif *lpNetif);

/* Hands every frame that has arrived to lpNetif->input; returns how many. */
int lan9118_poll(struct netif *lpNetif);

/* Drops received frames by a fixed pattern, to test a lossy link: of every uEvery frames
   received, the uNth (from 1) is read from the controller and thrown away. 0 drops none. */
void lan9118_drop(uint32_t uNth, uint32_t uEvery);

/* Frames received and frames dropped by the pattern, since the start. */
void lan9118_counts(uint32_t *lpReceived, uint32_t *lpDropped);

#endif
