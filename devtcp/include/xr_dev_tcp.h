/* SPDX-License-Identifier: MIT */
/**
 * @file xr_dev_tcp.h
 * @brief Device link library: one TCP link per slot from a device to a device agent.
 *
 * The library keeps at most XR_DEV_TCP_LINK_NUM links (two by default). Each link logs in with a
 * user name and a password, stays logged in through keepalives, follows the agent's redirects,
 * backs off when it cannot get in, and carries binary and string messages between the device and
 * peers behind the agent.
 *
 * The library never calls the operating system: sockets, events and log lines go
 * through tables of functions that the application installs with
 * xrDevTcpSetCallback(), and the application drives everything by calling
 * xrDevTcpProc() with a millisecond tick: periodically (every 50 ms is the intended
 * rate), or driven by events, sleeping after each call for the time that
 * xrDevTcpWaitMs() gives or until one of its sockets is ready, whichever comes first.
 * Nothing is allocated on the heap; all state is static.
 *
 * Threading: one thread. No library operation may be called while another is running
 * on a different thread. From inside an event callback the application may call
 * xrDevTcpSend() (to answer a message), and also xrDevTcpLogout() and
 * xrDevTcpSetCallback(); after a callback has logged its link out, the library makes
 * no further change to that slot and no further callback for it. The socket operations
 * and the log function call no library operation. Should an application break these
 * rules, the library still keeps its slots sound: an xrDevTcpProc() called from inside
 * xrDevTcpProc() returns at once, and a link logged out from inside any of the
 * application's functions is left free, as after a callback (a socket that SocketOpen
 * returned meanwhile is closed at once).
 *
 * Redirects: a redirect is followed at once. A redirect that comes less than 60 s after
 * the link's previous one continues a run of redirects; the third and every further
 * redirect of a run counts as a failed attempt, so the next connection waits out the
 * back-off (see xrDevTcpProc()). A link that stays 60 s without a redirect, logged in or
 * not, starts a new run.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef XR_DEV_TCP_H
#define XR_DEV_TCP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** @name Library version */
/**@{*/
#define XR_DEV_TCP_VERSION_MAJOR 1 /**< Major version: changes break the interface. */
#define XR_DEV_TCP_VERSION_MINOR 1 /**< Minor version: additions. */
#define XR_DEV_TCP_VERSION_PATCH 0 /**< Patch version: fixes. */
#define XR_DEV_TCP_VERSION "1.1.0" /**< The version as text. */
/**@}*/

/**
 * @name Build configuration
 *
 * Each setting has a default here and may be set instead with -D on the compiler's command
 * line, or in a configuration header: -DXR_DEV_TCP_CONFIG=my_devtcp_config.h includes that
 * header (found on the include path) before the defaults below, which then fill in only
 * what it leaves out. A setting given both ways must have the same value in both.
 *
 * The library and every source that includes this header must see the same values: the
 * slot record's size follows them, so mixing configurations is an error that no compiler
 * reports. The CMake target devtcp::devtcp (cache variables DEVTCP_LINK_NUM,
 * DEVTCP_BUF_SIZE, DEVTCP_LOG, DEVTCP_LOG_LINE_SIZE) and the pkg-config file pass the library's
 * values on to the application.
 */
/**@{*/
#ifdef XR_DEV_TCP_CONFIG
#define XR_DEV_TCP_STRINGIZE_(x) #x
#define XR_DEV_TCP_STRINGIZE(x) XR_DEV_TCP_STRINGIZE_(x)
#include XR_DEV_TCP_STRINGIZE(XR_DEV_TCP_CONFIG)
#endif
#ifndef XR_DEV_TCP_LINK_NUM
#define XR_DEV_TCP_LINK_NUM 2 /**< Number of link slots, at least 1. */
#endif
#ifndef XR_DEV_TCP_BUF_SIZE
/**
 * Send queue and receive buffer of a slot, in bytes; the largest frame either way. At
 * least 264, a login request frame; a frame of more than 8 + 65535 bytes cannot be sent.
 */
#define XR_DEV_TCP_BUF_SIZE 2048
#endif
#ifndef XR_DEV_TCP_LOG
/**
 * 1: log lines go to the installed log function. 0: every log line is compiled out, and
 * with them their texts and the formatting (vsnprintf); nothing else changes.
 */
#define XR_DEV_TCP_LOG 1
#endif
#ifndef XR_DEV_TCP_LOG_LINE_SIZE
/**
 * Room for one log line, its NUL counted: a longer line is cut to it. The line is built
 * on the stack inside every call that logs, so it sets the deepest stack of a build with
 * logging; the library's own lines stay under 100 characters, so 128 keeps them whole.
 * At least 2.
 */
#define XR_DEV_TCP_LOG_LINE_SIZE 1024
#endif
/**@}*/

/** @name Sizes */
/**@{*/
#define XR_DEV_TCP_HEAD_SIZE 8   /**< Frame header: session (4), type (1), flags (1), length (2). */
#define XR_DEV_TCP_ADDR_SIZE 64  /**< Address field: at most 63 characters and a NUL. */
#define XR_DEV_TCP_USER_SIZE 128 /**< User-name field: at most 127 characters and a NUL. */
#define XR_DEV_TCP_PASS_SIZE 64  /**< Password field: at most 63 characters and a NUL. */
/**@}*/

/** @name Login status of a slot (XR_DEV_TCP_LINK_S::usStatus) */
/**@{*/
#define XR_DEV_TCP_STATUS_IDLE 0      /**< Slot free. */
#define XR_DEV_TCP_STATUS_ALLOC 1     /**< In use, not connected (back-off, opening, connecting). */
#define XR_DEV_TCP_STATUS_CONNECTED 2 /**< Connection up, login request not yet queued. */
#define XR_DEV_TCP_STATUS_LOGINING 3  /**< Login request queued, reply awaited. */
#define XR_DEV_TCP_STATUS_LOGINED 4   /**< Logged in: messages may be sent. */
/**@}*/

/** @name Notification types passed to XR_DEV_TCP_CALLBACK_S::TcpNotify */
/**@{*/
#define XR_DEV_TCP_NOTIFY_ONLINE 0   /**< Logged in on a new connection; text "". */
#define XR_DEV_TCP_NOTIFY_OFFLINE 1  /**< Connection dropped, will reconnect; text "". */
#define XR_DEV_TCP_NOTIFY_REDIRECT 2 /**< Moving to another agent; text is its address. */
#define XR_DEV_TCP_NOTIFY_TIME 3     /**< The agent's time text. */
#define XR_DEV_TCP_NOTIFY_WAKE 4     /**< The agent asks the device to wake; text "". */
/**@}*/

/** @name Message types (frame header byte 4) */
/**@{*/
#define XR_DEV_TCP_MSG_KEEPALIVE 0 /**< Device to agent, empty. */
#define XR_DEV_TCP_MSG_ERROR 1     /**< Agent to device: a signed 32-bit error code. */
#define XR_DEV_TCP_MSG_LOGIN 2     /**< Login request (256 bytes) and login reply (132 bytes). */
#define XR_DEV_TCP_MSG_LOGOUT 3    /**< Device to agent, empty. */
#define XR_DEV_TCP_MSG_REDIRECT 4  /**< Agent to device: a 64-byte address field. */
#define XR_DEV_TCP_MSG_TIME 5      /**< Agent to device: a 64-byte time text field. */
#define XR_DEV_TCP_MSG_DATA 6      /**< Both ways: peer section, then binary data. */
#define XR_DEV_TCP_MSG_STR 7       /**< Both ways: peer section, then a text with its NUL. */
#define XR_DEV_TCP_MSG_WAKE 14     /**< Agent to device: payload ignored. */
/**@}*/

/** Frame flag bit 0: a peer section (reserved 2, peer length 2, padded name) follows the header. */
#define XR_DEV_TCP_FLAG_PEER 0x01

/** @name Error codes: results of operations and arguments of TcpError */
/**@{*/
#define XR_DEV_TCP_ERR_ARG (-2)           /**< Bad argument or invalid handle. */
#define XR_DEV_TCP_ERR_SOCKET (-3)        /**< A socket operation failed. */
#define XR_DEV_TCP_ERR_NO_SLOT (-4)       /**< No free link slot. */
#define XR_DEV_TCP_ERR_NOT_LOGINED (-5)   /**< The link is not logged in. */
#define XR_DEV_TCP_ERR_QUEUE_FULL (-6)    /**< The frame does not fit the send queue. */
#define XR_DEV_TCP_ERR_LOGIN_TIMEOUT (-9) /**< No completed login within 30 seconds. */
/**@}*/

/**
 * The library's record of one link. The application does not touch it; it is public
 * so that its size is known and so that tools can inspect it.
 */
typedef struct XR_DEV_TCP_LINK_S {
    uint16_t usStatus;      /**< One of the XR_DEV_TCP_STATUS_ values. */
    uint16_t usSeq;         /**< Sequence of the current allocation: low half of the handle. */
    uint16_t usDelayCount;  /**< Seconds counted in the current back-off wait. */
    uint16_t usDelayLevel;  /**< Back-off level 0..20; a wait lasts 15 s per level. */
    uint16_t usRedirects;   /**< Redirects in the current run (see Redirects above). */
    uint16_t usWriteFailed; /**< 1 once a write of this connection failed: it is ending. */
    uint32_t uRedirStamp;   /**< Tick of the latest redirect. */
    uint32_t uSessID;       /**< Session identifier from the accepted login reply, or 0. */
    uint32_t uStamp;        /**< Tick from which the current timeout counts. */
    int32_t iSocket;        /**< Socket from SocketOpen, or -1. */
    uint32_t uSendSize;     /**< Bytes queued in ucSendBuf. */
    uint32_t uRecvSize;     /**< Bytes held in ucRecvBuf. */
    uint32_t uRecvSkip;     /**< Bytes of an oversized incoming frame still to be thrown away. */
    char szSvrAddr[XR_DEV_TCP_ADDR_SIZE];   /**< Home agent address given at login. */
    char szLastAddr[XR_DEV_TCP_ADDR_SIZE];  /**< Address of the latest completed login, or "". */
    char szConnAddr[XR_DEV_TCP_ADDR_SIZE];  /**< Address of the current or next attempt, or "". */
    char szUser[XR_DEV_TCP_USER_SIZE];      /**< User name; tells the links apart. */
    char szPass[XR_DEV_TCP_PASS_SIZE];      /**< Password. */
    uint8_t ucSendBuf[XR_DEV_TCP_BUF_SIZE]; /**< Send queue: whole frames, oldest first. */
    uint8_t ucRecvBuf[XR_DEV_TCP_BUF_SIZE]; /**< Received bytes not yet handled. */
} XR_DEV_TCP_LINK_S;

/**
 * Socket operations supplied by the application. None of them may block. Socket
 * handles are opaque to the library; -1 means no socket. An entry left NULL counts as
 * that operation failing (a NULL SocketClose just forgets the handle).
 */
typedef struct XR_DEV_TCP_SOCKET_CALLBACK_S {
    /**
     * Start a non-blocking TCP connection to @p lpszAddr (the application's address
     * form, e.g. "127.0.0.1:8800").
     * @return a handle (0 or more) while the connection is still being made, or a
     *         negative value on failure, which leaves nothing to close. The library
     *         reports a failure with TcpError(-3) and tries again on the next tick.
     */
    int32_t (*SocketOpen)(const char *lpszAddr);
    /**
     * Ask whether the connection is established.
     * @return greater than 0 once it is established and writable; 0 while it is not
     *         (yet), including a failed attempt, which the 30 s login timeout ends;
     *         negative on failure (reported as -3; the socket is kept and asked again).
     */
    int32_t (*SocketCheck)(int32_t iSocket);
    /** Release the handle; the library forgets it at once. Only called with handles >= 0. */
    void (*SocketClose)(int32_t iSocket);
    /**
     * Write from the front of @p lpData (@p uSize is at least 1).
     * @return the number of bytes taken (at most @p uSize; the library keeps the rest
     *         queued), 0 when nothing can be written now, negative on failure: the
     *         connection is then ended as after a failed read (the frames that arrived
     *         are handled, then Offline and the back-off).
     */
    int32_t (*SocketSend)(int32_t iSocket, const uint8_t *lpData, uint32_t uSize);
    /**
     * Read into @p lpBuf, which has room for @p uSize bytes (at least 1).
     * @return the number of bytes stored (at most @p uSize), 0 when nothing is there
     *         now, negative when the connection failed or the peer closed it (the link
     *         is then dropped and reconnected after a back-off).
     */
    int32_t (*SocketRecv)(int32_t iSocket, uint8_t *lpBuf, uint32_t uSize);
} XR_DEV_TCP_SOCKET_CALLBACK_S;

/**
 * Event callbacks supplied by the application, called from inside xrDevTcpProc().
 * Every pointer passed points into the library's receive buffer or into constants and
 * is valid only during the call. An entry left NULL drops that event.
 */
typedef struct XR_DEV_TCP_CALLBACK_S {
    /** A library error code (-3, -9) or an error code sent by the agent, unchanged. */
    void (*TcpError)(int32_t iAgentID, int32_t iError);
    /** A change of the link: @p uType is one of the XR_DEV_TCP_NOTIFY_ values. */
    void (*TcpNotify)(int32_t iAgentID, uint32_t uType, const char *lpszData);
    /**
     * A binary message from peer @p lpszPeer; @p lpszPeer is NULL for a frame without a
     * peer section. @p lpData is never NULL when @p uDataSize is above 0.
     */
    void (*TcpReceive)(int32_t iAgentID, const uint8_t *lpData, uint32_t uDataSize,
                       const char *lpszPeer);
    /** A string message from peer @p lpszPeer (NULL for a frame without a peer section). */
    void (*TcpReceiveStr)(int32_t iAgentID, const char *lpszData, const char *lpszPeer);
    /** Reserved; copied at registration and never called. */
    void (*lpReserved[5])(void);
} XR_DEV_TCP_CALLBACK_S;

/** Log function: always level 0; @p lpszText is one line without a line end. */
typedef void (*XR_DEV_TCP_LOG_FUNC)(int32_t iLevel, const char *lpszText);

/**
 * Install the socket table, the event table and the log function, by copy; the
 * caller's tables need not outlive the call. A NULL table pointer installs an empty
 * table; a NULL log function turns logging off (as XR_DEV_TCP_LOG 0 does for good).
 * @param lpSocket the five socket operations, or NULL
 * @param lpCallback the event callbacks, or NULL
 * @param lpLog the log function, or NULL
 */
void xrDevTcpSetCallback(const XR_DEV_TCP_SOCKET_CALLBACK_S *lpSocket,
                         const XR_DEV_TCP_CALLBACK_S *lpCallback, XR_DEV_TCP_LOG_FUNC lpLog);

/**
 * Allocate a link slot and set it going; the next xrDevTcpProc() call connects.
 * @param lpszSvrAddr home agent address, at most 63 characters
 * @param lpszUser user name, at most 127 characters; a slot already in use by the
 *        same user name is returned as it is
 * @param lpszPass password, at most 63 characters
 * @return the link's handle (0 or more), XR_DEV_TCP_ERR_ARG for a NULL or overlong
 *         argument, or XR_DEV_TCP_ERR_NO_SLOT when every slot is in use.
 */
int32_t xrDevTcpLogin(const char *lpszSvrAddr, const char *lpszUser, const char *lpszPass);

/**
 * End a link and free its slot: a logout frame is sent when logged in, the socket is
 * closed and the handle dies. An invalid handle is ignored. No notification follows.
 * @param iAgentID handle of the link, as returned by xrDevTcpLogin()
 */
void xrDevTcpLogout(int32_t iAgentID);

/**
 * Queue one frame and offer the queue to the socket at once. A frame accepted here is
 * dropped, unsent, when the link resets before the socket has taken all of it (the
 * application hears of the reset as XR_DEV_TCP_NOTIFY_OFFLINE, or
 * XR_DEV_TCP_NOTIFY_REDIRECT, or XR_DEV_TCP_ERR_LOGIN_TIMEOUT); a new connection
 * starts with an empty queue. A write that fails ends the connection (Offline):
 * a write that fails inside xrDevTcpProc ends the connection in that call, and one that
 * fails in an xrDevTcpSend made between calls ends it in the next call; nothing more is
 * written to that connection meanwhile.
 * @param iAgentID handle of the link
 * @param uType message type (low 8 bits used); only XR_DEV_TCP_MSG_LOGIN may be
 *        sent before the link is logged in
 * @param lpData @p uDataSize bytes of data (not read when @p uDataSize is 0); a string
 *        message counts its terminating NUL
 * @param uDataSize number of data bytes, 0 for none
 * @param lpszPeer receiving peer; a peer section is written only when it is not NULL
 *        and @p uPeerSize is not 0
 * @param uPeerSize bytes of the peer name to send, its NUL counted
 * @return @p uDataSize when queued (and the immediate write did not fail),
 *         XR_DEV_TCP_ERR_ARG, XR_DEV_TCP_ERR_NOT_LOGINED, XR_DEV_TCP_ERR_QUEUE_FULL
 *         (nothing queued), or XR_DEV_TCP_ERR_SOCKET (the write failed, or an earlier
 *         one of this connection did: the frame is lost with the connection, which
 *         ends as said above).
 */
int32_t xrDevTcpSend(int32_t iAgentID, uint32_t uType, const void *lpData, uint32_t uDataSize,
                     const char *lpszPeer, uint32_t uPeerSize);

/**
 * Drive the library: connect, log in, read and dispatch at most one frame per link,
 * run the timers once a second, and write what is queued. Call it periodically
 * (every 50 ms), or when xrDevTcpWaitMs() says and whenever a socket becomes ready, with
 * a millisecond tick that may wrap after 2^32 - 1.
 *
 * Timers: a login not completed within 30 s is given up (XR_DEV_TCP_ERR_LOGIN_TIMEOUT).
 * The 30 s count from the start of the attempt and again from every frame received, so
 * any frame from the agent postpones the timeout. A logged-in link sends a keepalive
 * after 60 s without a frame and is dropped after 90 s. After a failed attempt (login
 * timeout, refused login, connection lost or closed by the agent, a failed write, or a
 * redirect that counts as one) the next attempt waits 15 s for each failure in a row, at
 * most 300 s; a completed login clears the count of failures.
 *
 * When a read finds the connection lost or closed, or a write fails (a write that fails
 * inside xrDevTcpProc ends the connection in that call, and one that fails in an
 * xrDevTcpSend made between calls ends it in the next call), the whole frames that
 * arrived before it are still handled in that call, in order, and then the link is
 * reset (Offline, and the back-off), unless one of them already moved or ended it. A
 * frame cut off by the close is dropped. A failed logout frame changes nothing: the link
 * is ending anyway.
 * @param uTick the application's clock in milliseconds
 */
void xrDevTcpProc(uint32_t uTick);

/** xrDevTcpWaitMs()'s answer when no slot is in use: nothing falls due until a login. */
#define XR_DEV_TCP_NO_DEADLINE 0xFFFFFFFFu

/**
 * How long the application may wait before its next xrDevTcpProc() call, for a device
 * that is driven by events instead of a fixed tick. Calling xrDevTcpProc() after
 * exactly this time, or earlier as soon as one of the link's sockets becomes readable or
 * writable (a socket port's wait call tells), leaves every behaviour as it is with a call
 * every 50 ms: the same frames, retries and events in the same order, and each timer
 * within the same second. Ask again after every xrDevTcpProc() call and after the
 * application's own calls (a login, a logout or a send changes the answer); asking
 * changes nothing.
 *
 * The timers run only in the once-a-second passes of xrDevTcpProc(): a pass runs at the
 * first call 1000 ms or more after the previous pass, and a late call runs one pass, not
 * the ones it missed. Beyond the 50 ms pace of connecting and retrying, the answer is the
 * earliest call that would do something: a call before it (with no socket ready) changes
 * nothing, and a timer is served by the first pass at or after the moment it falls due.
 * Per slot in use:
 * - 0 while a frame is held in its receive buffer (frames are handed out one per call)
 *   and while a failed write is waiting to end the connection;
 * - at most 50 ms, counted from the last xrDevTcpProc() call (from tick 0 before the
 *   first), while it is to open its connection, waits for it, or retries a failed
 *   SocketOpen, SocketCheck or login request (each failure is reported at the pace of
 *   the 50 ms tick, as it always has been);
 * - the time to the next pass while it waits out a back-off (which counts passes) or
 *   waits for the agent's login reply (whose timeout a pass notices);
 * - logged in, the time until 60 s have passed without a frame from the agent, or to the
 *   next pass if that is later: the keepalive goes out in that pass and in every pass
 *   after it, and the 90 s silence drop comes in one of them. A device called every
 *   50 ms sends each within the same second.
 * The answer is the least over the slots in use. Where the tick wraps past 2^32 - 1 the
 * timers count one millisecond less than the ticks that pass, and the answer includes it.
 * @param uTick the application's clock now, as xrDevTcpProc() is given it; the answer is
 *        counted from it (0 when something is due already)
 * @return milliseconds from @p uTick, or XR_DEV_TCP_NO_DEADLINE when no slot is in use
 */
uint32_t xrDevTcpWaitMs(uint32_t uTick);

#ifdef __cplusplus
}
#endif

#endif /* XR_DEV_TCP_H */
