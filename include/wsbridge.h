/*
 * wsbridge: one WebSocket client connection for a host program, through seven flat functions.
 *
 * The host polls. A background worker thread performs the handshake and all receiving, and
 * queues whole text messages; the host drains the queue with WsHasMessages / WsReadMessage.
 * Sending happens on the calling thread. One connection per process: a new WsConnect replaces
 * the previous connection, and unloading the library ends it.
 *
 * Strings passed in are NUL-terminated UTF-16. Strings handed back are written into buffers the
 * host owns, given with their capacity in bytes, and are always NUL-terminated when the call
 * writes to them. A null buffer or a capacity below 1 makes a call return 0 and write nothing.
 * No function reports failure other than through its result; nothing is thrown across this
 * interface and nothing calls back into the host.
 *
 * Threads: WsConnect and WsDisconnect are called from one host thread at a time. The other
 * functions may be called from any thread at any time.
 *
 * Time: every call returns within a bound, given with each function. The bounds are those of the
 * Linux build, whose transport is this library's own; on Windows the platform's WinHTTP sets the
 * network waits. A name lookup cannot be cut short: a call that waits for a handshake waits for
 * the system resolver too.
 */
#ifndef WSBRIDGE_H
#define WSBRIDGE_H

#include <stdint.h>

#if defined(_WIN32)
#include <wchar.h>
typedef wchar_t WsChar16; /* UTF-16 code unit */
#define WSBRIDGE_CALL __stdcall
#if defined(WSBRIDGE_BUILDING_LIBRARY)
#define WSBRIDGE_API __declspec(dllexport)
#else
#define WSBRIDGE_API __declspec(dllimport)
#endif
#else
#if defined(__cplusplus)
typedef char16_t WsChar16; /* UTF-16 code unit */
#else
typedef uint_least16_t WsChar16; /* UTF-16 code unit */
#endif
#define WSBRIDGE_CALL
#define WSBRIDGE_API __attribute__((visibility("default")))
#endif

/* Values returned by WsGetStatus. */
enum {
    WS_STATUS_DISCONNECTED = 0, /* no connection and no handshake under way */
    WS_STATUS_CONNECTING = 1,   /* handshake under way */
    WS_STATUS_CONNECTED = 2,    /* messages can be sent and are being received */
    WS_STATUS_ERROR = 3         /* the last connection attempt failed; WsGetLastError says where */
};

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Starts connecting to host:port/path, over TLS when secure is nonzero. Any previous connection
 * is ended first (this waits for a handshake under way to finish). Clears the message queue.
 * Returns 1 once the worker thread has started; the handshake's outcome shows later through
 * WsGetStatus and WsGetLastError. Returns 0 only when no worker could be started (status 3).
 * host and path may be null (taken as empty); they are copied, not kept.
 * The port is used as its low 16 bits.
 * Bound: as WsDisconnect's for ending the previous connection; starting the worker does not wait.
 */
WSBRIDGE_API int32_t WSBRIDGE_CALL WsConnect(const WsChar16* host, int32_t port,
                                             const WsChar16* path, int32_t secure);

/*
 * Ends the connection: sends a close with status 1000, stops and joins the worker, and sets the
 * status to 0. Harmless when nothing is connected. While a handshake is under way it waits for
 * that handshake to end. Returns the status that stood just before it stored 0 (normally 0, or 3
 * after a failed handshake). Messages already queued stay readable until the next WsConnect.
 * Bound: while connected, a WsSendMessage in progress on another thread is let finish first (it
 * holds the connection while it sends), up to its 10 s, then the close takes at most 1 s; during a
 * handshake, that handshake's own bounds (10 s per address to connect, 10 s for TLS, 10 s for the
 * upgrade, after the name lookup).
 */
WSBRIDGE_API int32_t WSBRIDGE_CALL WsDisconnect(void);

/* Returns the current status (WS_STATUS_*). Never blocks. */
WSBRIDGE_API int32_t WSBRIDGE_CALL WsGetStatus(void);

/*
 * Copies the latest status or error text ("Connected", "Server closed WebSocket connection", a
 * failing handshake step, ...) into buffer, cut to capacity - 1 bytes and NUL-terminated.
 * Returns the number of bytes written before the terminating 0. Reading does not clear it.
 * Bound: a brief lock, held by others only to queue one message or to copy one out.
 */
WSBRIDGE_API int32_t WSBRIDGE_CALL WsGetLastError(char* buffer, int32_t capacity);

/*
 * Sends text (NUL-terminated UTF-16) as one text message, converted to UTF-8, on the calling
 * thread. Returns 1 when the transport accepted the whole message, else 0: for a null or empty
 * text, when not connected, or when the send failed (a failed send changes neither the status nor
 * the last-error text). Blocks for as long as the send takes.
 * Bound: 10 s for the send (a server that stops reading cannot hold it longer); a send already in
 * progress on another thread is let finish first, within its own 10 s.
 */
WSBRIDGE_API int32_t WSBRIDGE_CALL WsSendMessage(const WsChar16* text);

/*
 * Returns 1 if at least one received message is queued, else 0.
 * Bound: a brief lock, held by others only to queue one message or to copy one out.
 */
WSBRIDGE_API int32_t WSBRIDGE_CALL WsHasMessages(void);

/*
 * Removes the oldest queued message and copies its raw bytes (UTF-8 as the server sent them)
 * into buffer, followed by a 0 byte. A message of capacity bytes or more is cut to capacity - 1
 * bytes and its rest is lost. Returns the number of message bytes written; the result, not the
 * terminator, tells the length, since a message may contain 0 bytes. An empty queue gives 0 and
 * an empty text in buffer; a null buffer or capacity below 1 gives 0 and leaves the queue alone.
 * Bound: a brief lock, held by others only to queue one message or to copy one out.
 */
WSBRIDGE_API int32_t WSBRIDGE_CALL WsReadMessage(char* buffer, int32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* WSBRIDGE_H */
