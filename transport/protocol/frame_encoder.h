// Client-to-server frames (RFC 6455 5.2): always masked, with a fresh key from the random source
// for every frame (5.3), the length in its shortest form.
//
// How the transport drives it: for WinHttpWebSocketSend of a whole UTF-8 message, appendFrame()
// with Opcode::Text; when the decoder reports a ping, appendPong() with its payload; for
// WinHttpWebSocketClose, appendClose(). Then write the buffer to the connection. The functions
// append, so several frames (a pong, then a close) can go out in one write. To send a large
// payload without building it twice, writeFrameHeader() and copyMasked() can be used directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "transport/protocol/frame_format.h"
#include "transport/protocol/protocol_error.h"
#include "transport/protocol/random_source.h"

namespace wsbridge::protocol {

using ByteBuffer = std::vector<std::uint8_t>;

// Writes the header of one masked frame (2 to 14 bytes) to `out`, which must have room for
// maxFrameHeaderSize bytes, and returns its size. The payload must follow masked with `key`.
std::size_t writeFrameHeader(std::uint8_t* out, Opcode opcode, bool final,
                             std::uint64_t payloadLength, MaskKey key);

// Appends one masked frame holding `payload`. Fails with RandomSourceFailed (nothing appended)
// or, for a control opcode with more than 125 bytes, ControlPayloadTooLong.
ProtocolError appendFrame(ByteBuffer& out, Opcode opcode, std::span<const std::uint8_t> payload,
                          RandomSource& random, bool final = true);

// A pong echoing a ping's payload (RFC 6455 5.5.3).
ProtocolError appendPong(ByteBuffer& out, std::span<const std::uint8_t> pingPayload,
                         RandomSource& random);

// A close frame with `code` and `reason` (RFC 6455 5.5.1). closeNoStatus (1005) sends an empty
// close payload and then `reason` must be empty. Any other code must be sendable and the reason
// at most 123 bytes; else InvalidCloseCode or ControlPayloadTooLong, nothing appended.
ProtocolError appendClose(ByteBuffer& out, std::uint16_t code, std::string_view reason,
                          RandomSource& random);

}  // namespace wsbridge::protocol
