// SPDX-License-Identifier: MIT
// The LAN9118 in 32-bit mode, polled. Frames go through the controller's FIFOs a word at a
// time, little-endian, by way of one frame buffer each way; the MAC's own registers are
// reached indirectly through MAC_CSR_CMD and MAC_CSR_DATA.
#include "lan9118.h"

#include <string.h>

#include "lwip/etharp.h"
#include "lwip/pbuf.h"
#include "netif/ethernet.h"

#define LAN9118_BASE 0x40200000u
#define REG(offset) (*(volatile uint32_t *)(LAN9118_BASE + (offset)))
#define RX_DATA_FIFO REG(0x00)
#define TX_DATA_FIFO REG(0x20)
#define RX_STATUS_FIFO REG(0x40)
#define TX_STATUS_FIFO REG(0x48)
#define INT_EN REG(0x5C)
#define BYTE_TEST REG(0x64)
#define RX_CFG REG(0x6C)
#define TX_CFG REG(0x70)
#define HW_CFG REG(0x74)
#define RX_FIFO_INF REG(0x7C)
#define TX_FIFO_INF REG(0x80)
#define PMT_CTRL REG(0x84)
#define MAC_CSR_CMD REG(0xA4)
#define MAC_CSR_DATA REG(0xA8)

#define CSR_BUSY (1u << 31)
#define CSR_READ (1u << 30)
#define MAC_CR 1
#define MAC_ADDRH 2
#define MAC_ADDRL 3
#define MAC_CR_FDPX (1u << 20)
#define MAC_CR_TXEN (1u << 3)
#define MAC_CR_RXEN (1u << 2)
#define TX_CFG_TX_ON (1u << 1)
#define RX_STS_ERROR (1u << 15)

#define FRAME_MAX 1518u  // with the FCS, which the controller leaves on received frames
#define POLL_MAX 16      // frames handed on per poll, so that one poll stays short
#define WAIT_MAX 100000  // register polls before the controller counts as stuck

static uint32_t g_uFrame[(FRAME_MAX + 3) / 4];
static uint32_t g_uDropNth, g_uDropEvery, g_uReceived, g_uDropped;

static int wait_clear(volatile uint32_t *lpReg, uint32_t uMask) {
    for (int i = 0; i < WAIT_MAX; ++i) {
        if ((*lpReg & uMask) == 0) return 1;
    }
    return 0;
}

static int mac_write(uint32_t uIndex, uint32_t uValue) {
    if (!wait_clear(&MAC_CSR_CMD, CSR_BUSY)) return 0;
    MAC_CSR_DATA = uValue;
    MAC_CSR_CMD = CSR_BUSY | uIndex;
    return wait_clear(&MAC_CSR_CMD, CSR_BUSY);
}

static uint32_t mac_read(uint32_t uIndex) {
    wait_clear(&MAC_CSR_CMD, CSR_BUSY);
    MAC_CSR_CMD = CSR_BUSY | CSR_READ | uIndex;
    wait_clear(&MAC_CSR_CMD, CSR_BUSY);
    return MAC_CSR_DATA;
}

// One frame out: command A (first and last segment, its length), command B (a tag and the
// frame's length; the controller sends nothing without it), then the frame in words.
static err_t lan9118_output(struct netif *lpNetif, struct pbuf *p) {
    (void)lpNetif;
    const uint32_t uLen = p->tot_len;
    if (uLen > FRAME_MAX - 4) return ERR_BUF;
    pbuf_copy_partial(p, g_uFrame, (u16_t)uLen, 0);
    // Room for the frame and both commands (TDFREE, in bytes); QEMU sends at once.
    int iWait = WAIT_MAX;
    while ((TX_FIFO_INF & 0xFFFFu) < uLen + 8 && --iWait > 0) {
    }
    if (iWait == 0) return ERR_IF;
    TX_DATA_FIFO = (1u << 13) | (1u << 12) | uLen;
    TX_DATA_FIFO = (uLen << 16) | uLen;
    for (uint32_t i = 0; i < (uLen + 3) / 4; ++i) TX_DATA_FIFO = g_uFrame[i];
    // The statuses of sent frames are of no use here: popped so that their FIFO never fills.
    while ((TX_FIFO_INF >> 16) & 0xFFu) (void)TX_STATUS_FIFO;
    return ERR_OK;
}

err_t lan9118_init(struct netif *lpNetif) {
    if (BYTE_TEST != 0x87654321u) return ERR_IF;
    HW_CFG = 1;  // soft reset
    if (!wait_clear(&HW_CFG, 1)) return ERR_IF;
    for (int i = 0; i < WAIT_MAX && (PMT_CTRL & 1) == 0; ++i) {
    }
    if ((PMT_CTRL & 1) == 0) return ERR_IF;
    INT_EN = 0;
    RX_CFG = 0;  // frames from the first byte of a word, no end padding
    // The address the controller loaded from its EEPROM.
    const uint32_t uLow = mac_read(MAC_ADDRL), uHigh = mac_read(MAC_ADDRH);
    for (int i = 0; i < 4; ++i) lpNetif->hwaddr[i] = (u8_t)(uLow >> (8 * i));
    lpNetif->hwaddr[4] = (u8_t)uHigh;
    lpNetif->hwaddr[5] = (u8_t)(uHigh >> 8);
    lpNetif->hwaddr_len = ETH_HWADDR_LEN;
    // Receive before transmit: a reply that comes while receive is off is lost for good.
    // Promiscuous mode (on after reset) off: our address and broadcasts only.
    if (!mac_write(MAC_CR, MAC_CR_FDPX | MAC_CR_RXEN) ||
        !mac_write(MAC_CR, MAC_CR_FDPX | MAC_CR_RXEN | MAC_CR_TXEN))
        return ERR_IF;
    TX_CFG = TX_CFG_TX_ON;

    lpNetif->name[0] = 'e';
    lpNetif->name[1] = 'n';
    lpNetif->mtu = 1500;
    lpNetif->flags =
        NETIF_FLAG_BROADCAST | NETIF_FLAG_ETHARP | NETIF_FLAG_ETHERNET | NETIF_FLAG_LINK_UP;
    lpNetif->output = etharp_output;
    lpNetif->linkoutput = lan9118_output;
    return ERR_OK;
}

void lan9118_drop(uint32_t uNth, uint32_t uEvery) {
    g_uDropNth = uNth;
    g_uDropEvery = uEvery;
}

void lan9118_counts(uint32_t *lpReceived, uint32_t *lpDropped) {
    *lpReceived = g_uReceived;
    *lpDropped = g_uDropped;
}

int lan9118_poll(struct netif *lpNetif) {
    int iHanded = 0;
    for (int i = 0; i < POLL_MAX && ((RX_FIFO_INF >> 16) & 0xFFu) != 0; ++i) {
        const uint32_t uStatus = RX_STATUS_FIFO;
        const uint32_t uLen = (uStatus >> 16) & 0x3FFFu;  // the FCS counted
        // Every word of the frame leaves the FIFO, whatever becomes of it.
        const uint32_t uWords = (uLen + 3) / 4;
        for (uint32_t w = 0; w < uWords; ++w) {
            const uint32_t uWord = RX_DATA_FIFO;
            if (w < sizeof g_uFrame / sizeof g_uFrame[0]) g_uFrame[w] = uWord;
        }
        if ((uStatus & RX_STS_ERROR) != 0 || uLen < 14 + 4 || uLen > FRAME_MAX) continue;
        ++g_uReceived;
        if (g_uDropEvery != 0 && (g_uReceived - 1) % g_uDropEvery + 1 == g_uDropNth) {
            ++g_uDropped;
            continue;
        }
        struct pbuf *p = pbuf_alloc(PBUF_RAW, (u16_t)(uLen - 4), PBUF_POOL);
        if (p == NULL) continue;  // no pbuf free: lost, as on a busy wire
        pbuf_take(p, g_uFrame, (u16_t)(uLen - 4));
        if (lpNetif->input(p, lpNetif) != ERR_OK) pbuf_free(p);
        ++iHanded;
    }
    return iHanded;
}
