/*
 * wsbridge: one WebSocket client connection for a host program, through flat functions: the
 * seven of the original interface, and four beside them (WsWaitForMessage, WsGetMessageLength,
 * WsGetCloseStatus, WsConnectWithHeaders). A host that uses only the seven sees no change.
 *
 * The host polls or waits. A background worker thread performs the handshake and all
 * receiving, and queues whole text messages; the host drains the queue with WsHasMessages /
 * WsReadMessage, or waits for it with WsWaitForMessage. Sending happens on the calling thread.
 * One connection per process: a new WsConnect replaces the previous connection, and unloading
 * the library ends it.
 *
 * Strings passed in are NUL-terminated UTF-16. Strings handed back are written into buffers the
 * host owns, given with their capacity in bytes, and are always NUL-terminated when the call
 * writes to them. A null buffer or a capacity below 1 makes a call return 0 and write nothing.
 * No function reports failure other than through its result; nothing is thrown across this
 * interface and nothing calls back into the host.
 *
 * Threads: WsConnect, WsConnectWithHeaders and WsDisconnect are called from one host thread at a
 * time. The other functions may be called from any thread at any time.
 *
 * Time: every call returns within a bound, given with each function. The bounds are those of the
 * Linux build, whose transport is this library's own; on Windows the platform's WinHTTP sets the
 * network waits. A name lookup cannot be cut short: a call that waits for a handshake waits for
 * the system resolver too.
 *
 * A host loop that waits instead of polling:
 *
 *     if (WsConnect(host, port, path, 1)) {
 *         while (WsWaitForMessage(-1)) {            // 0 once the connection has ended
 *             int32_t length = WsGetMessageLength();
 *             char* buffer = malloc(length + 1);     // sized to the message: nothing is cut
 *             WsReadMessage(buffer, length + 1);
 *             ...
 *         }
 *         char reason[124];
 *         int32_t code = WsGetCloseStatus(reason, sizeof reason);   // e.g. 1000, 1006
 *     }
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

/*
 * Waits until at least one message is queued and returns 1, at once if one already is.
 * Returns 0 when timeoutMs milliseconds pass with the queue empty; a timeout of 0 never blocks
 * (the same answer as WsHasMessages), and a negative timeout waits without a time limit.
 * Returns 0 at once when the queue is empty and no connection is open or being opened (from
 * WsConnect until that connection has ended), and wakes with 0 when the connection it waits on
 * ends: a server close, a receive failure, a failed handshake, WsDisconnect or WsConnect on
 * another thread, or unloading the library. So `while (WsWaitForMessage(-1)) { read }` ends
 * with its connection. Any number of threads may wait at once; a message wakes them all (one of
 * them may then find the queue emptied by another and go on waiting). No busy waiting.
 * Bound: timeoutMs; without a time limit, the end of the connection, which comes within its
 * handshake's bounds (see WsDisconnect) or, once it is open, when it breaks, closes or is ended.
 */
WSBRIDGE_API int32_t WSBRIDGE_CALL WsWaitForMessage(int32_t timeoutMs);

/*
 * Returns the length in bytes of the message WsReadMessage would return next, or -1 when the
 * queue is empty. A buffer of that length + 1 holds it whole. A length above 2147483646, which
 * no capacity can hold, is reported as 2147483647.
 * Bound: a brief lock, held by others only to queue one message or to copy one out.
 */
WSBRIDGE_API int32_t WSBRIDGE_CALL WsGetMessageLength(void);

/*
 * Tells how the last connection ended. Returns 0 from WsConnect until that connection has ended
 * (and before any connection). Once it has ended: the code of the server's close frame (1000 to
 * 4999); 1005 when its close frame carried no code; 1006 when no close frame came from the
 * server (a broken or reset connection, a protocol failure, a failed handshake, our close not
 * answered in time). After WsDisconnect the server's answer to our close counts (normally 1000).
 * Copies the server's close reason (UTF-8 as sent, at most 123 bytes) into reason, cut to
 * capacity - 1 bytes and NUL-terminated; an empty text when there was none. A null reason or a
 * capacity below 1 returns the code and writes nothing.
 * Bound: a brief lock, held by others only to queue one message or to copy one out.
 */
WSBRIDGE_API int32_t WSBRIDGE_CALL WsGetCloseStatus(char* reason, int32_t capacity);

/*
 * WsConnect with extra headers on the upgrade request: headers is NUL-terminated UTF-16 text of
 * lines "Name: value" separated by CR LF (a final CR LF is optional). Null or empty means none:
 * exactly WsConnect. The text is copied; a later WsConnect sends no headers.
 * Returns 0 and changes nothing (the current connection, the status and the status text stay as
 * they were) when the text is refused: a line without a colon; a name that is not an HTTP token;
 * a CR, LF or any character other than printable ASCII and tab in a name or value; more than
 * 8192 characters; a header the handshake writes itself (Host, Upgrade, Connection,
 * Sec-WebSocket-Key, Sec-WebSocket-Version, Sec-WebSocket-Accept, Sec-WebSocket-Extensions,
 * Content-Length, Transfer-Encoding, User-Agent); a Sec-WebSocket-Protocol value that is not a
 * comma-separated list of tokens. Otherwise as WsConnect.
 * Sec-WebSocket-Protocol offers subprotocols: the server must select exactly one of those
 * offered, or the handshake fails with "WinHttpWebSocketCompleteUpgrade failed" (status 3).
 * Bound: as WsConnect's; a refused text returns at once.
 */
WSBRIDGE_API int32_t WSBRIDGE_CALL WsConnectWithHeaders(const WsChar16* host, int32_t port,
                                                        const WsChar16* path, int32_t secure,
                                                        const WsChar16* headers);

#ifdef __cplusplus
}
#endif

#endif /* WSBRIDGE_H */
