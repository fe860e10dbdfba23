// The Sec-WebSocket-Key / Sec-WebSocket-Accept pair of the opening handshake (RFC 6455 4.1).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "transport/protocol/random_source.h"

namespace wsbridge::protocol {

inline constexpr std::size_t clientKeyRandomBytes = 16;  // RFC 6455 4.1: a 16-byte nonce
inline constexpr std::size_t clientKeyTextSize = 24;     // its base64 form

// A fresh key: 16 bytes from `random`, base64-encoded. Empty when the source fails.
std::optional<std::string> makeClientKey(RandomSource& random);

// The Sec-WebSocket-Accept value a server must answer `clientKey` with:
// base64(SHA-1(clientKey + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")).
std::string acceptValueFor(std::string_view clientKey);

}  // namespace wsbridge::protocol
