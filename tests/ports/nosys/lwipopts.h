/* SPDX-License-Identifier: MIT */
/* lwIP without an OS, as on a bare-metal device: the raw-API port is compiled against it. */
#define NO_SYS 1
#define LWIP_SOCKET 0
#define LWIP_NETCONN 0
#define TCP_MSS 536
#define TCP_WND (4 * TCP_MSS)
