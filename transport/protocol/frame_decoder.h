// Incremental decoder of server-to-client frames (RFC 6455 5): message data in pieces of bounded
// size, each with its piece type, plus the control frames and protocol errors. The connection's
// rules (answering pings, the close handshake) are ClientConnection's; this is the framing only.
//
// How it is driven (ClientConnection does this): keep one FrameDecoder per connection. Put the
// bytes that followed the upgrade response, and then every read from the connection, through next()
// in a loop:
//
//     while (!input.empty()) {
//         FrameEvent event = decoder.next(input, bufferLength);
//         input = input.subspan(event.consumed);
//         switch (event.kind) { ... }
//     }
//
// - NeedMore: every byte of the input was taken (at most a frame header and a control payload
//   are kept inside, never more than 139 bytes); read again.
// - Data: one piece of a text or binary message, at most `pieceLimit` bytes, with its pieceType.
//   Fragment types (TextFragment, BinaryFragment) for every piece but the last of a message,
//   then the message type (TextMessage, BinaryMessage). A message whose final frame is empty
//   still ends with a piece of the message type, of 0 bytes: an empty text message is one
//   TextMessage piece with no bytes. Text pieces have been checked as UTF-8 (across pieces and
//   frames) before they are reported.
// - Ping: to be answered with a pong carrying the same payload.
// - Pong: nothing to do.
// - Close: the server's close code (closeNoStatus when it gave none) and UTF-8 reason. The
//   decoder is finished.
// - Error: the stream broke the protocol; the close to send is closeCodeFor(error). The decoder
//   is finished.
//
// After Close or Error the decoder is finished: next() takes all of its input unread and returns
// the same event again (an Error its error; a Close its code, with an empty reason).
//
// Event payloads point into the input given to this call (server frames are unmasked, so data
// is never copied) or, for a control frame that arrived in several reads, into the decoder; they
// stay valid until the next call. Memory use does not depend on any length read from the wire.
//
// Reading straight into the caller's buffer: when dataPayloadPending() is nonzero the decoder is
// inside a data frame's payload, and that many bytes of it are still to come. The transport may
// then receive up to min(dataPayloadPending(), bufferLength) bytes directly into the caller's
// buffer and pass exactly that buffer to next(): the Data event's payload is then that buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "transport/protocol/frame_format.h"
#include "transport/protocol/piece_type.h"
#include "transport/protocol/protocol_error.h"
#include "transport/protocol/utf8_validator.h"

namespace wsbridge::protocol {

inline constexpr std::size_t defaultPieceLimit = 65536;  // the worker's receive buffer

enum class FrameEventKind : std::uint8_t { NeedMore, Data, Ping, Pong, Close, Error };

struct FrameEvent {
    FrameEventKind kind = FrameEventKind::NeedMore;
    std::size_t consumed = 0;  // bytes of this call's input used, up to the end of this event
    std::span<const std::uint8_t> payload;  // Data piece, Ping/Pong payload or Close reason
    PieceType pieceType = PieceType::BinaryMessage;  // Data only
    std::uint16_t closeCode = 0;                     // Close only
    ProtocolError error = ProtocolError::None;       // Error only
};

class FrameDecoder {
  public:
    // Decodes up to the next event. `pieceLimit` caps the size of a Data piece (a limit of 0 is
    // taken as 1).
    FrameEvent next(std::span<const std::uint8_t> input,
                    std::size_t pieceLimit = defaultPieceLimit);

    // Payload bytes of the current data frame not yet reported; 0 between frames and inside a
    // control frame.
    std::uint64_t dataPayloadPending() const {
        return state_ == State::DataPayload ? payloadRemaining_ : 0;
    }

    // True once a Close or an Error was reported.
    bool finished() const { return state_ == State::Closed || state_ == State::Failed; }

  private:
    enum class State : std::uint8_t { Header, DataPayload, ControlPayload, Closed, Failed };

    struct Header {
        bool final = false;
        Opcode opcode = Opcode::Continuation;
        std::uint64_t length = 0;
    };

    FrameEvent fail(ProtocolError error, std::size_t consumed);
    // Parses a complete header of `size` bytes; returns None or the error it breaks.
    ProtocolError parseHeader(const std::uint8_t* bytes, std::size_t size, Header& header);
    ProtocolError startFrame(const Header& header);
    FrameEvent emitData(std::span<const std::uint8_t> input, std::size_t offset,
                        std::size_t pieceLimit);
    FrameEvent emitControl(std::span<const std::uint8_t> payload, std::size_t consumed);
    // Takes the next header from input[offset..]; false while it is not whole yet.
    bool readHeader(std::span<const std::uint8_t> input, std::size_t& offset, Header& header,
                    ProtocolError& error);
    FrameEvent readControlPayload(std::span<const std::uint8_t> input, std::size_t offset);
    // Adds header bytes to headerBytes_; true once the header is whole.
    bool collectHeader(std::span<const std::uint8_t> input, std::size_t& offset);
    FrameEvent needMore(std::span<const std::uint8_t> input) const;
    FrameEvent repeatFinal(std::span<const std::uint8_t> input) const;

    State state_ = State::Header;
    bool messageOpen_ = false;  // a text or binary message has begun and not yet ended
    bool messageIsText_ = false;
    bool frameIsFinal_ = false;  // the data frame being read ends its message
    Opcode controlOpcode_ = Opcode::Close;
    std::uint64_t payloadRemaining_ = 0;
    std::uint16_t closeCode_ = 0;                // repeated after Close
    ProtocolError error_ = ProtocolError::None;  // repeated after Error
    Utf8Validator utf8_;

    // A frame header or control payload that arrived split over several inputs.
    std::array<std::uint8_t, maxFrameHeaderSize> headerBytes_{};
    std::size_t headerSize_ = 0;
    std::array<std::uint8_t, maxControlPayload> controlBytes_{};
    std::size_t controlSize_ = 0;
    std::size_t controlLength_ = 0;
};

}  // namespace wsbridge::protocol
