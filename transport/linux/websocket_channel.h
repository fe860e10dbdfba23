// An open WebSocket's operations: the receive on the worker's thread, sends and the close on the
// host's, with their locks, waits and deadlines. The bytes move in ConnectionStream; the rules
// are protocol::ClientConnection's.
//
// Locks: writeLock_ is held by whoever writes output, for the whole of it (a message, a pong, a
// close), so one writer at a time finishes what it began; ioLock_ is held for each single call
// into the stream (one TLS object is never used by two threads at once), which is also every
// use of the connection. writeLock_ is always taken before ioLock_, and nobody waits for the
// socket while holding ioLock_.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "transport/linux/connection_stream.h"
#include "transport/linux/handle_table.h"
#include "transport/linux/time_limits.h"
#include "transport/linux/wake_event.h"

namespace wsbridge::transport {

// The time limits a channel keeps; tests shorten them to see them reached.
struct ChannelTiming {
    std::chrono::milliseconds send = timeLimit::send;
    std::chrono::milliseconds closeWait = timeLimit::closeWait;
    std::chrono::milliseconds keepalive = timeLimit::keepalive;
};

class WebSocketChannel final : public HandleObject {
  public:
    static constexpr HandleKind handleKind = HandleKind::WebSocket;

    // frameBytes: what arrived after the upgrade response's header block.
    WebSocketChannel(std::unique_ptr<ByteStream> stream, std::vector<std::uint8_t> frameBytes,
                     ChannelTiming timing = {});

    // Blocks until there is something to deliver: a piece of a message (at most length bytes),
    // the server's close (type CLOSE, no bytes), or a failure.
    DWORD receive(void* buffer, DWORD length, DWORD& bytesRead,
                  WINHTTP_WEB_SOCKET_BUFFER_TYPE& type);
    // Sends one message, or one fragment of one, as one masked frame.
    DWORD send(WINHTTP_WEB_SOCKET_BUFFER_TYPE type, const void* data, DWORD length);
    // Ends a pending receive, sends our close once, waits briefly for the server's, shuts down.
    DWORD close(USHORT status, const void* reason, DWORD reasonLength);

    void onHandleClosed() override;

  private:
    using Outcome = ConnectionStream::Outcome;

    // Under writeLock_: writes the connection's output (up to the end of the queued data frame
    // when dataOnly) within the deadline.
    DWORD writeOutputLocked(Deadline deadline, bool dataOnly);
    DWORD writeAllOutput(Deadline deadline);
    // Ends the connection with `error`, unless it already failed; returns the error it failed
    // with.
    DWORD breakConnection(DWORD error);
    void sendKeepaliveIfDue();
    void awaitServerClose(Deadline deadline);

    const ChannelTiming timing_;
    const int fd_;                // for polling; the stream owns it and outlives every wait on it
    WakeEvent receiveCancelled_;  // raised by close() and by closing the handle
    WakeEvent handleClosed_;      // raised by closing the handle only

    std::mutex ioLock_;
    ConnectionStream stream_;
    bool closeDelivered_ = false;

    // Not a timed lock: every holder's writes are bounded by their own deadline, so a wait for
    // it is bounded too (by the send limit at most).
    std::mutex writeLock_;
};

}  // namespace wsbridge::transport
