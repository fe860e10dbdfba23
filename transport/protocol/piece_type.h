// What a piece of a message is: text or binary, and whether it ends its message. Received data is
// reported in pieces of bounded size; a message is sent whole or in fragments, each a piece.
#pragma once

#include <cstdint>

namespace wsbridge::protocol {

enum class PieceType : std::uint8_t {
    TextFragment,    // text, more of the message follows
    TextMessage,     // text, the last (or only) piece of its message
    BinaryFragment,  // binary, more of the message follows
    BinaryMessage,   // binary, the last (or only) piece of its message
};

constexpr bool isText(PieceType type) {
    return type == PieceType::TextFragment || type == PieceType::TextMessage;
}

constexpr bool endsMessage(PieceType type) {
    return type == PieceType::TextMessage || type == PieceType::BinaryMessage;
}

constexpr PieceType pieceType(bool text, bool lastOfMessage) {
    if (text) return lastOfMessage ? PieceType::TextMessage : PieceType::TextFragment;
    return lastOfMessage ? PieceType::BinaryMessage : PieceType::BinaryFragment;
}

}  // namespace wsbridge::protocol
