// Helpers shared by the protocol core's tests: byte strings, server frames, fixed random
// sources, and drivers that run a byte stream through the frame decoder or a response head
// parser in chosen chunks.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "peer_frames.h"
#include "tests/transport/protocol/fixed_random_sources.h"
#include "transport/protocol/frame_decoder.h"
#include "transport/protocol/response_head.h"

namespace wsbridge::protocol::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline std::string textOf(std::span<const std::uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// An unmasked frame as a server sends it, the length in its shortest form.
inline Bytes serverFrame(std::uint8_t firstByte, const Bytes& payload) {
    return peers::serverFrame<Bytes>(firstByte, payload);
}

inline constexpr std::uint8_t finalText = 0x81;
inline constexpr std::uint8_t finalBinary = 0x82;
inline constexpr std::uint8_t firstText = 0x01;
inline constexpr std::uint8_t firstBinary = 0x02;
inline constexpr std::uint8_t moreContinuation = 0x00;
inline constexpr std::uint8_t lastContinuation = 0x80;
inline constexpr std::uint8_t closeFrame = 0x88;
inline constexpr std::uint8_t pingFrame = 0x89;
inline constexpr std::uint8_t pongFrame = 0x8A;

// What a decoded stream means, independent of how it was chunked: whole messages (pieces
// joined), control events and the final error.
struct Decoded {
    enum class Kind { Text, Binary, Ping, Pong, Close, Error };
    Kind kind;
    std::string payload;  // message bytes, ping/pong payload or close reason
    std::uint16_t closeCode = 0;
    ProtocolError error = ProtocolError::None;

    bool operator==(const Decoded&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Decoded& event) {
    static const char* const names[] = {"Text", "Binary", "Ping", "Pong", "Close", "Error"};
    out << names[static_cast<int>(event.kind)] << "(" << event.payload.size() << " bytes";
    if (event.kind == Decoded::Kind::Close) out << ", code " << event.closeCode;
    if (event.kind == Decoded::Kind::Error) out << ", " << describe(event.error);
    return out << ")";
}

inline Decoded text(std::string payload) {
    return {Decoded::Kind::Text, std::move(payload)};
}
inline Decoded binary(std::string payload) {
    return {Decoded::Kind::Binary, std::move(payload)};
}
inline Decoded ping(std::string payload) {
    return {Decoded::Kind::Ping, std::move(payload)};
}
inline Decoded pong(std::string payload) {
    return {Decoded::Kind::Pong, std::move(payload)};
}
inline Decoded closed(std::uint16_t code, std::string reason = {}) {
    return {Decoded::Kind::Close, std::move(reason), code};
}
inline Decoded failed(ProtocolError error) {
    return {Decoded::Kind::Error, {}, 0, error};
}

// Feeds `stream` to a fresh decoder in chunks whose sizes `nextChunk` picks, joining the pieces
// of each message. Along the way it checks the rules every piece must keep: at most
// `pieceLimit` bytes, fragment types before the message type, one kind per message, and that
// each call consumes what it claims. Stops at the first Close or Error.
inline std::vector<Decoded> decodeStream(const Bytes& stream,
                                         const std::function<std::size_t()>& nextChunk,
                                         std::size_t pieceLimit = defaultPieceLimit) {
    std::vector<Decoded> events;
    FrameDecoder decoder;
    std::string message;
    int messageKind = -1;  // 1 while a text message is open, 0 a binary one, -1 none
    // Bounded: each call reports an event or takes the whole chunk, and a stream holds at most
    // one event per byte plus empty frames' events.
    std::size_t callsLeft = 4 * stream.size() + 16;
    for (std::size_t position = 0; position < stream.size();) {
        const std::size_t chunk =
            std::min(std::max<std::size_t>(nextChunk(), 1), stream.size() - position);
        std::span<const std::uint8_t> input(stream.data() + position, chunk);
        position += chunk;
        for (bool more = true; more;) {
            if (callsLeft-- == 0) {
                ADD_FAILURE() << "decoder made no progress";
                return events;
            }
            const FrameEvent event = decoder.next(input, pieceLimit);
            EXPECT_LE(event.consumed, input.size());
            input = input.subspan(std::min(event.consumed, input.size()));
            switch (event.kind) {
                case FrameEventKind::NeedMore:
                    EXPECT_TRUE(input.empty());
                    more = false;
                    break;
                case FrameEventKind::Data: {
                    EXPECT_LE(event.payload.size(), pieceLimit);
                    const int kind = isText(event.pieceType) ? 1 : 0;
                    if (messageKind >= 0) {
                        EXPECT_EQ(kind, messageKind);
                    }
                    message.append(textOf(event.payload));
                    messageKind = kind;
                    if (endsMessage(event.pieceType)) {
                        events.push_back(kind == 1 ? text(message) : binary(message));
                        message.clear();
                        messageKind = -1;
                    }
                    break;
                }
                case FrameEventKind::Ping:
                    events.push_back(ping(textOf(event.payload)));
                    break;
                case FrameEventKind::Pong:
                    events.push_back(pong(textOf(event.payload)));
                    break;
                case FrameEventKind::Close:
                    events.push_back(closed(event.closeCode, textOf(event.payload)));
                    return events;
                case FrameEventKind::Error:
                    events.push_back(failed(event.error));
                    return events;
            }
        }
    }
    return events;
}

inline std::vector<Decoded> decodeWhole(const Bytes& stream,
                                        std::size_t pieceLimit = defaultPieceLimit) {
    return decodeStream(
        stream, [&] { return stream.size(); }, pieceLimit);
}

inline std::vector<Decoded> decodeBytewise(const Bytes& stream,
                                           std::size_t pieceLimit = defaultPieceLimit) {
    return decodeStream(
        stream, [] { return std::size_t{1}; }, pieceLimit);
}

// What a response head parser (the upgrade response's, a proxy's answer's) made of its input:
// the verdict, and the input it left for the next layer, in order.
struct HeadOutcome {
    ParseStatus status = ParseStatus::NeedMore;
    ProtocolError error = ProtocolError::None;
    std::string rest;
};

// Feeds `input` to `parser` in chunks whose sizes `nextChunk` picks, checking on the way that a
// NeedMore takes its whole chunk and that a final result stays final and takes nothing more.
template <typename Parser>
HeadOutcome feedHead(Parser& parser, std::string_view input,
                     const std::function<std::size_t()>& nextChunk) {
    HeadOutcome outcome;
    for (std::size_t at = 0; at < input.size();) {
        const std::size_t size = std::min(std::max<std::size_t>(nextChunk(), 1), input.size() - at);
        const Bytes piece = bytesOf(input.substr(at, size));
        at += size;
        const ParseResult result = parser.feed(piece);
        EXPECT_LE(result.consumed, piece.size());
        if (outcome.status != ParseStatus::NeedMore) {
            EXPECT_EQ(result.status, outcome.status);
            EXPECT_EQ(result.consumed, 0u);
        } else {
            outcome.status = result.status;
            outcome.error = result.error;
            if (result.status == ParseStatus::NeedMore) {
                EXPECT_EQ(result.consumed, piece.size());
            }
        }
        outcome.rest += textOf(std::span(piece).subspan(std::min(result.consumed, piece.size())));
    }
    return outcome;
}

}  // namespace wsbridge::protocol::testing
