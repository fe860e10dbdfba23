// The client side of one WebSocket connection once the upgrade is accepted (RFC 6455 5-7), as a
// state machine with no socket, thread, clock, lock or TLS object: received bytes go in and
// events come out; messages to send go in and bytes to write come out.
//
// How a transport drives it (not thread-safe: one lock around it):
//
//   Receiving: put every byte read through receive() in a loop, as with the FrameDecoder:
//       while (!input.empty()) {
//           ConnectionEvent event = connection.receive(input, bufferLength);
//           input = input.subspan(event.consumed);
//           ...
//       }
//     - NeedMore: all of the input was taken; read again.
//     - Data: one piece of a message for the caller (at most bufferLength bytes).
//     - PingAnswered: a pong is queued; write output() before reading on (RFC 6455 5.5.2).
//     - ServerClosed: the server's close, with its code and reason. Our answer goes out when the
//       caller closes; nothing more is read.
//     - Failed: the server broke the protocol. Our close with the error's code is queued (RFC
//       6455 7.1.7); write it, then end the connection. Nothing more is read or sent.
//   Inside a data frame's payload (dataPayloadPending() > 0) the bytes may be read straight into
//   the caller's buffer and passed to receive() as they lie: the Data piece is then that buffer.
//
//   Sending: send() frames one message or fragment, close() our close. Then write output() and
//   report each write with outputWritten() until it is empty. Frames never interleave, and a
//   pong or our close never cuts into a frame; pongs go out ahead of data not yet begun, our close
//   after everything else (RFC 6455 5.4, 5.5.1). A send whose frame could not begin to be written
//   in time is taken back with withdrawData(): the connection goes on as if it was never made.
//
//   Time: report every byte moved either way with noteTraffic(now). A connection silent both ways
//   for the keepalive interval gets an unsolicited empty pong (RFC 6455 5.5.3) when the caller
//   asks with queueKeepaliveIfDue(now); keepaliveDue() says when to ask.
//
// States as RFC 6455 7.1 names them: Open; Closing once one side's close is sent or received;
// Closed once both are (or the connection failed). After Closing by our close no data may be
// sent and no ping is answered; once Closed nothing more is read or sent.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "transport/protocol/frame_decoder.h"
#include "transport/protocol/frame_encoder.h"
#include "transport/protocol/piece_type.h"
#include "transport/protocol/protocol_error.h"
#include "transport/protocol/random_source.h"

namespace wsbridge::protocol {

// Instants the caller reads from its clock and passes in; the connection never reads a clock.
using TimePoint = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;

enum class ConnectionState : std::uint8_t { Open, Closing, Closed };

enum class ConnectionEventKind : std::uint8_t {
    NeedMore,
    Data,
    PingAnswered,
    ServerClosed,
    Failed
};

struct ConnectionEvent {
    ConnectionEventKind kind = ConnectionEventKind::NeedMore;
    std::size_t consumed = 0;  // bytes of this call's input used, up to the end of this event
    std::span<const std::uint8_t> payload;  // Data: the piece; ServerClosed: the UTF-8 reason
    PieceType pieceType = PieceType::BinaryMessage;  // Data only
    std::uint16_t closeCode = 0;                     // ServerClosed: closeNoStatus when none
    ProtocolError error = ProtocolError::None;       // Failed only
};

class ClientConnection {
  public:
    // `random` supplies every mask key and must outlive the connection. `now` starts the
    // keepalive interval.
    ClientConnection(RandomSource& random, Duration keepaliveInterval, TimePoint now);

    // ---- Receiving
    ConnectionEvent receive(std::span<const std::uint8_t> input,
                            std::size_t pieceLimit = defaultPieceLimit);
    // Payload bytes of the current data frame still to come; 0 between frames.
    std::uint64_t dataPayloadPending() const { return decoder_.dataPayloadPending(); }

    // ---- Sending
    // Queues one message (a *Message type) or one fragment of one (a *Fragment type, continued
    // by later sends of the same kind). Refused, nothing queued: SendAfterClose once our close is
    // queued or the connection failed; MessageTypeChanged for a piece of another kind than the
    // open message; SendPending while the previous data frame is not all written;
    // RandomSourceFailed.
    ProtocolError send(PieceType type, std::span<const std::uint8_t> payload);
    // Queues our close (RFC 6455 5.5.1), at most once; a second call changes nothing and
    // succeeds. An invalid code or too long a reason is refused, nothing queued.
    ProtocolError close(std::uint16_t code, std::span<const std::uint8_t> reason);

    // ---- Output
    // The bytes to write next; empty when there is nothing to write.
    std::span<const std::uint8_t> output() const;
    // `count` bytes of output() were written.
    void outputWritten(std::size_t count);
    // Some of a frame is written and the rest is not: the stream can carry nothing else until it
    // is, so a connection left like this is unusable.
    bool midFrame() const;
    // Whether a frame from send() is still (partly) unwritten.
    bool dataQueued() const { return dataWritten_ < data_.size(); }
    // Takes back the frame from send() if none of it is written yet: true when it was taken back
    // (or there was none), false when it has begun.
    bool withdrawData();

    // ---- Time
    void noteTraffic(TimePoint now) { lastTraffic_ = now; }
    TimePoint keepaliveDue() const { return lastTraffic_ + keepaliveInterval_; }
    // Queues an empty pong if the connection is open, has been silent for the interval and has
    // nothing else to write; true when it did. A frame waiting to go out counts as traffic.
    bool queueKeepaliveIfDue(TimePoint now);

    // ---- State
    ConnectionState state() const { return state_; }
    // Our close is queued and the server's has not come (nor has the connection failed): reading
    // on, until it comes or the caller's bound passes, completes the close (RFC 6455 7.1.1).
    bool closeExpected() const { return closeQueued_ && state_ == ConnectionState::Closing; }
    // Whether the server's close has come.
    bool closeReceived() const { return serverCloseReceived_; }
    // The server's close: its code (closeNoStatus when none; 0 until it came) and reason.
    std::uint16_t serverCloseCode() const { return serverCloseCode_; }
    std::string_view serverCloseReason() const;

  private:
    enum class OpenMessage : std::uint8_t { None, Text, Binary };

    ConnectionEvent serverClosed(const FrameEvent& frame, std::size_t consumed);
    ConnectionEvent failed(ProtocolError error, std::size_t consumed);
    enum class Queue : std::uint8_t { None, Control, Data, Close };
    // The queue output() takes its bytes from.
    Queue current() const;
    bool answersPings() const { return state_ == ConnectionState::Open && !closeQueued_; }

    RandomSource& random_;
    FrameDecoder decoder_;
    ConnectionState state_ = ConnectionState::Open;
    bool closeQueued_ = false;
    bool serverCloseReceived_ = false;

    // Output, in three queues written in the order: whatever frame has begun; control replies;
    // the data frame; our close.
    ByteBuffer control_;
    std::size_t controlWritten_ = 0;
    ByteBuffer data_;
    std::size_t dataWritten_ = 0;
    OpenMessage messageAfterData_ = OpenMessage::None;  // once the queued data frame is written
    OpenMessage openMessage_ = OpenMessage::None;       // as the frames written so far leave it
    ByteBuffer close_;
    std::size_t closeWritten_ = 0;

    Duration keepaliveInterval_;
    TimePoint lastTraffic_;

    std::uint16_t serverCloseCode_ = 0;
    std::array<char, maxCloseReason> serverCloseReason_{};
    std::size_t serverCloseReasonSize_ = 0;
};

}  // namespace wsbridge::protocol
