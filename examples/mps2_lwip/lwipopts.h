/* SPDX-License-Identifier: MIT */
/* lwIP for the MPS2 AN386 board without an OS: one loop polls the Ethernet controller,
   runs lwIP's timers and ticks the link library (main.c). Only IPv4, ARP and TCP: the
   address is fixed (slirp's 10.0.2.15), so there is no DHCP and no UDP. */
#ifndef LWIPOPTS_H
#define LWIPOPTS_H

#define NO_SYS 1
#define SYS_LIGHTWEIGHT_PROT 0 /* nothing touches lwIP from an interrupt */
#define LWIP_SOCKET 0
#define LWIP_NETCONN 0
#define LWIP_IPV4 1
#define LWIP_IPV6 0
#define LWIP_ARP 1
#define LWIP_ETHERNET 1
#define LWIP_ICMP 1
#define LWIP_TCP 1
#define LWIP_UDP 0
#define LWIP_DHCP 0
#define LWIP_DNS 0
#define LWIP_IGMP 0
#define LWIP_RAW 0
#define LWIP_STATS 0
#define LWIP_NETIF_STATUS_CALLBACK 0
#define LWIP_NETIF_LINK_CALLBACK 0
#define IP_REASSEMBLY 0
#define IP_FRAG 0

/* Memory: the heap (mem_malloc: the transmitted segments' copies) and the pools. */
#define MEM_ALIGNMENT 4
#define MEM_SIZE (10 * 1024)
#define MEMP_NUM_TCP_PCB 4
#define MEMP_NUM_TCP_SEG 16
#define PBUF_POOL_SIZE 12

/* TCP: full-size segments; a window of four, which the link port holds until the
   library reads it (the agent's frames are at most a few kilobytes). */
#define TCP_MSS 1460
#define TCP_WND (4 * TCP_MSS)
#define TCP_SND_BUF (2 * TCP_MSS)
#define TCP_SND_QUEUELEN 8
#define TCP_QUEUE_OOSEQ 1 /* out-of-order segments are held for reassembly */
#define LWIP_TCP_KEEPALIVE 0

#endif
