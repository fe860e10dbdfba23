// RFC 6455 5.2 frame headers as the loopback server writes them (unmasked, server to client), and
// the byte counts that follow from them, which the raw reader uses to know when a stream ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace loopback {

inline constexpr std::uint8_t finBit = 0x80;
inline constexpr std::uint8_t maskBit = 0x80;
inline constexpr std::uint8_t opcodeContinuation = 0x0;
inline constexpr std::uint8_t opcodeText = 0x1;
inline constexpr std::uint8_t opcodeBinary = 0x2;
inline constexpr std::uint8_t opcodeClose = 0x8;
inline constexpr std::uint8_t opcodePing = 0x9;
inline constexpr std::uint8_t opcodePong = 0xA;
inline constexpr std::uint8_t length16Marker = 126;
inline constexpr std::uint8_t length64Marker = 127;
inline constexpr std::uint64_t maxLength7 = 125;
inline constexpr std::uint64_t maxLength16 = 0xFFFF;
inline constexpr std::size_t maskKeySize = 4;
inline constexpr std::uint16_t closeNormal = 1000;

inline std::size_t headerSize(std::uint64_t payloadLength) {
    if (payloadLength <= maxLength7) return 2;
    if (payloadLength <= maxLength16) return 4;
    return 10;
}

// Appends an unmasked frame header.
inline void appendHeader(std::string& out, std::uint8_t firstByte, std::uint64_t payloadLength) {
    out.push_back(static_cast<char>(firstByte));
    if (payloadLength <= maxLength7) {
        out.push_back(static_cast<char>(payloadLength));
    } else if (payloadLength <= maxLength16) {
        out.push_back(static_cast<char>(length16Marker));
        out.push_back(static_cast<char>(payloadLength >> 8));
        out.push_back(static_cast<char>(payloadLength & 0xFF));
    } else {
        out.push_back(static_cast<char>(length64Marker));
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<char>((payloadLength >> shift) & 0xFF));
    }
}

// The server's close frame: status 1000, no reason (RFC 6455 5.5.1).
inline std::string closeFrame() {
    std::string frame;
    appendHeader(frame, finBit | opcodeClose, 2);
    frame.push_back(static_cast<char>(closeNormal >> 8));
    frame.push_back(static_cast<char>(closeNormal & 0xFF));
    return frame;
}

// How one text message of `size` bytes is cut into frames: in pieces of `fragmentSize` bytes, or
// whole when fragmentSize is 0 or not smaller than the message.
struct Fragmentation {
    std::uint64_t size = 0;
    std::uint64_t fragmentSize = 0;

    std::uint64_t pieces() const {
        if (fragmentSize == 0 || size <= fragmentSize) return 1;
        return (size + fragmentSize - 1) / fragmentSize;
    }
    std::uint64_t pieceLength(std::uint64_t index) const {
        if (pieces() == 1) return size;
        const std::uint64_t start = index * fragmentSize;
        return size - start < fragmentSize ? size - start : fragmentSize;
    }
    std::uint64_t wireBytes() const {
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; i < pieces(); ++i) total += headerSize(pieceLength(i));
        return total + size;
    }
};

// Every byte the server writes after its 101 response for COUNT messages, its close included.
inline std::uint64_t streamWireBytes(const Fragmentation& layout, std::uint64_t count) {
    return layout.wireBytes() * count + closeFrame().size();
}

}  // namespace loopback
