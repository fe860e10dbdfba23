// An open WebSocket: the stream, the frame decoder and the close handshake, driven by the
// receive on the worker's thread while the host's thread sends or closes.
//
// Locks: writeLock_ is held for one whole outgoing frame (a message, a pong, a close), so frames
// never interleave; ioLock_ is held for each single call into the stream (one TLS object is never
// used by two threads at once) and for the decoder. writeLock_ is always taken before ioLock_,
// and nobody waits for the socket while holding ioLock_.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "transport/linux/byte_stream.h"
#include "transport/linux/handle_table.h"
#include "transport/linux/time_limits.h"
#include "transport/linux/wake_event.h"
#include "transport/protocol/frame_decoder.h"
#include "transport/protocol/frame_encoder.h"

namespace wsbridge::transport {

class WebSocketChannel final : public HandleObject {
  public:
    static constexpr HandleKind handleKind = HandleKind::WebSocket;

    // frameBytes: what arrived after the upgrade response's header block.
    WebSocketChannel(std::unique_ptr<ByteStream> stream, std::vector<std::uint8_t> frameBytes);

    // Blocks until there is something to deliver: a piece of a message (at most length bytes),
    // the server's close (type CLOSE, no bytes), or a failure.
    DWORD receive(void* buffer, DWORD length, DWORD& bytesRead,
                  WINHTTP_WEB_SOCKET_BUFFER_TYPE& type);
    // Sends one message, or one fragment of one, as one masked frame.
    DWORD send(WINHTTP_WEB_SOCKET_BUFFER_TYPE type, const void* data, DWORD length);
    // Ends a pending receive, sends our close once, waits briefly for the server's, shuts down.
    DWORD close(USHORT status, const void* reason, DWORD reasonLength);
    // The server's close code and reason, once its close frame has arrived; else
    // ERROR_INVALID_OPERATION.
    DWORD queryCloseStatus(USHORT& status, void* reason, DWORD reasonLength, DWORD& reasonUsed);

    void onHandleClosed() override;

  private:
    enum class PumpOutcome { Delivered, ServerClosed, ProtocolFailure, Broken, MustWait };
    enum class OutgoingMessage { None, Text, Binary };

    struct Delivery {
        std::uint8_t* buffer = nullptr;  // null: drain, discarding data
        std::size_t length = 0;
        std::size_t bytes = 0;
        WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
    };

    struct Pump {
        PumpOutcome outcome = PumpOutcome::MustWait;
        Direction waitFor = Direction::Read;
        protocol::ProtocolError error = protocol::ProtocolError::None;
    };

    using PongPayloads = std::vector<std::vector<std::uint8_t>>;

    // Under ioLock_: decodes what is buffered, reading more while the stream has more, until an
    // event for the caller or until the stream would block.
    Pump pumpLocked(Delivery& delivery, PongPayloads& pongs);
    bool decodeBufferedLocked(Delivery& delivery, PongPayloads& pongs, Pump& pump);
    bool readDirectLocked(Delivery& delivery, Pump& pump);
    bool refillLocked(Pump& pump);

    DWORD failReceive(const Pump& pump);
    void sendPongs(const PongPayloads& pongs);
    void sendKeepaliveIfIdle();
    DWORD writeFrame(std::span<const std::uint8_t> frame, Deadline deadline);
    DWORD sendClose(std::uint16_t code, std::span<const std::uint8_t> reason, Deadline deadline);
    void awaitServerClose(Deadline deadline);
    void breakConnection(DWORD error);
    void shutLocked();
    void noteTraffic();
    Deadline keepaliveDeadline() const;

    const int fd_;                // for polling; the stream owns it and outlives every wait on it
    WakeEvent receiveCancelled_;  // raised by close() and by closing the handle
    WakeEvent handleClosed_;      // raised by closing the handle only

    std::mutex ioLock_;
    std::unique_ptr<ByteStream> stream_;
    protocol::FrameDecoder decoder_;
    std::vector<std::uint8_t> inbox_;
    std::size_t inboxStart_ = 0;
    std::size_t inboxEnd_ = 0;
    bool closeReceived_ = false;
    std::uint16_t serverCloseCode_ = 0;  // what the server's close frame said, once it came
    std::vector<std::uint8_t> serverCloseReason_;
    bool closeDelivered_ = false;
    bool shut_ = false;
    // Set while large data frames arrive: the next refill reads only a frame header, so that the
    // payload after it goes straight into the caller's buffer instead of through inbox_.
    bool probeNextHeader_ = false;
    DWORD failure_ = ERROR_SUCCESS;  // latched: every later receive reports it

    // Not a timed lock: every holder's writes are bounded by their own deadline, so a wait for
    // it is bounded too (by the send limit at most).
    std::mutex writeLock_;
    protocol::ByteBuffer outgoing_;
    OutgoingMessage outgoingMessage_ = OutgoingMessage::None;
    bool closeSent_ = false;

    std::atomic<Clock::rep> lastTraffic_;
};

}  // namespace wsbridge::transport
