// The RFC 6455 5.2 base framing: opcodes, header bits and length forms, shared by the encoder and
// the decoder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace wsbridge::protocol {

enum class Opcode : std::uint8_t {
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

using MaskKey = std::array<std::uint8_t, 4>;

inline constexpr std::uint8_t finBit = 0x80;
inline constexpr std::uint8_t reservedBits = 0x70;  // RSV1-3
inline constexpr std::uint8_t opcodeBits = 0x0F;
inline constexpr std::uint8_t maskBit = 0x80;
inline constexpr std::uint8_t lengthBits = 0x7F;
inline constexpr std::uint8_t controlOpcodeFlag = 0x08;  // opcodes 0x8-0xF are control frames

inline constexpr std::uint8_t length16Marker = 126;  // a 16-bit length follows
inline constexpr std::uint8_t length64Marker = 127;  // a 64-bit length follows
inline constexpr std::uint64_t maxLength7 = 125;
inline constexpr std::uint64_t maxLength16 = 0xFFFF;

// The header's parts: two fixed bytes, then the 16- or 64-bit length when the 7-bit field says
// so, then (client frames only) the mask key.
inline constexpr std::size_t baseHeaderSize = 2;
inline constexpr std::size_t length16Size = 2;
inline constexpr std::size_t length64Size = 8;
inline constexpr std::size_t maskKeySize = 4;
// The longest unmasked header: that of every server frame over 65535 bytes.
inline constexpr std::size_t maxServerHeaderSize = baseHeaderSize + length64Size;
inline constexpr std::size_t maxFrameHeaderSize = maxServerHeaderSize + maskKeySize;

inline constexpr std::size_t maxControlPayload = 125;  // RFC 6455 5.5
inline constexpr std::size_t closeCodeSize = 2;
inline constexpr std::size_t maxCloseReason = maxControlPayload - closeCodeSize;

inline constexpr int bitsPerByte = 8;

// Close codes with a meaning of their own (RFC 6455 7.4.1).
inline constexpr std::uint16_t closeNormal = 1000;
inline constexpr std::uint16_t closeProtocolError = 1002;
inline constexpr std::uint16_t closeNoStatus = 1005;  // never on the wire: "no code was given"
inline constexpr std::uint16_t closeInvalidPayload = 1007;

// True for codes an endpoint may put in a close frame (RFC 6455 7.4.1 and 7.4.2): 1000-1003,
// 1007-1014 and 3000-4999. 1004-1006 and 1015 are reserved, 1016-2999 unassigned, the rest
// outside the ranges.
constexpr bool isSendableCloseCode(std::uint16_t code) {
    constexpr std::uint16_t firstPrivate = 3000;
    constexpr std::uint16_t pastPrivate = 5000;
    if (code >= firstPrivate) return code < pastPrivate;
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014);
}

constexpr bool isControl(Opcode opcode) {
    return (static_cast<std::uint8_t>(opcode) & controlOpcodeFlag) != 0;
}

// Lengths and close codes go in network byte order (RFC 6455 5.2, 5.5.1).
constexpr std::uint64_t readBigEndian(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value = (value << bitsPerByte) | bytes[i];
    return value;
}

constexpr void writeBigEndian(std::uint8_t* out, std::size_t count, std::uint64_t value) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (bitsPerByte * (count - 1 - i)));
    }
}

}  // namespace wsbridge::protocol
