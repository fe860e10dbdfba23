// An open WebSocket's I/O: the byte stream, the waits and the deadlines around the connection's
// rules (protocol::ClientConnection), driven by the receive on the worker's thread while the
// host's thread sends or closes.
//
// Locks: writeLock_ is held by whoever writes output, for the whole of it (a message, a pong, a
// close), so one writer at a time finishes what it began; ioLock_ is held for each single call
// into the stream (one TLS object is never used by two threads at once) and for the connection.
// writeLock_ is always taken before ioLock_, and nobody waits for the socket while holding
// ioLock_.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "transport/linux/byte_stream.h"
#include "transport/linux/handle_table.h"
#include "transport/linux/time_limits.h"
#include "transport/linux/wake_event.h"
#include "transport/protocol/client_connection.h"

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
    enum class ReadOutcome { Delivered, ServerClosed, Failed, Broken, MustWait };
    // How much output a writer writes: up to the end of its own data frame, or all there is.
    enum class WriteScope { Data, Everything };

    struct Read {
        ReadOutcome outcome = ReadOutcome::MustWait;
        Direction waitFor = Direction::Read;
        bool pongsQueued = false;  // to be written before reading on
        std::size_t bytes = 0;
        protocol::PieceType pieceType = protocol::PieceType::BinaryMessage;
        protocol::ProtocolError error = protocol::ProtocolError::None;
    };

    // Under ioLock_: feeds what is buffered to the connection, reading more while the stream has
    // more, until an event for the caller, a pong to write, or a stream that would block. A null
    // buffer drains: data is read and dropped.
    Read readLocked(std::uint8_t* buffer, std::size_t length);
    bool decodeBufferedLocked(std::uint8_t* buffer, std::size_t length, Read& read);
    void readDirectLocked(std::uint8_t* buffer, std::size_t length, Read& read);
    bool refillLocked(Read& read);

    DWORD failReceive(DWORD error);
    // Ends the connection with `error`, unless it already ended; returns the error it ended with.
    DWORD latchFailure(DWORD error);
    // Under writeLock_: writes the connection's output within the deadline.
    DWORD writeOutputLocked(Deadline deadline, WriteScope scope);
    DWORD writeAllOutput(Deadline deadline);
    void sendKeepaliveIfDue();
    void awaitServerClose(Deadline deadline);
    void breakConnection(DWORD error);
    void shutLocked();

    const ChannelTiming timing_;
    const int fd_;                // for polling; the stream owns it and outlives every wait on it
    WakeEvent receiveCancelled_;  // raised by close() and by closing the handle
    WakeEvent handleClosed_;      // raised by closing the handle only

    std::mutex ioLock_;
    std::unique_ptr<ByteStream> stream_;
    protocol::ClientConnection connection_;
    std::vector<std::uint8_t> inbox_;
    std::size_t inboxStart_ = 0;
    std::size_t inboxEnd_ = 0;
    bool closeDelivered_ = false;
    bool shut_ = false;
    // Set while large data frames arrive: the next refill reads only a frame header, so that the
    // payload after it goes straight into the caller's buffer instead of through inbox_.
    bool probeNextHeader_ = false;
    DWORD failure_ = ERROR_SUCCESS;  // latched: every later receive reports it

    // Not a timed lock: every holder's writes are bounded by their own deadline, so a wait for
    // it is bounded too (by the send limit at most).
    std::mutex writeLock_;
};

}  // namespace wsbridge::transport
