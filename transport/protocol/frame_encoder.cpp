// Client frames: header, then the payload masked with a key drawn for this frame alone.
#include "transport/protocol/frame_encoder.h"

#include "transport/protocol/masking.h"

namespace wsbridge::protocol {

std::size_t writeFrameHeader(std::uint8_t* out, Opcode opcode, bool final,
                             std::uint64_t payloadLength, MaskKey key) {
    out[0] = static_cast<std::uint8_t>((final ? finBit : 0) | static_cast<std::uint8_t>(opcode));
    std::size_t size = baseHeaderSize;
    // RFC 6455 5.2: the shortest of the 7-, 16- and 64-bit forms.
    if (payloadLength <= maxLength7) {
        out[1] = static_cast<std::uint8_t>(maskBit | payloadLength);
    } else if (payloadLength <= maxLength16) {
        out[1] = maskBit | length16Marker;
        writeBigEndian(out + size, length16Size, payloadLength);
        size += length16Size;
    } else {
        out[1] = maskBit | length64Marker;
        writeBigEndian(out + size, length64Size, payloadLength);
        size += length64Size;
    }
    for (const std::uint8_t keyByte : key) out[size++] = keyByte;
    return size;
}

ProtocolError appendFrame(ByteBuffer& out, Opcode opcode, std::span<const std::uint8_t> payload,
                          RandomSource& random, bool final) {
    if (isControl(opcode) && payload.size() > maxControlPayload) {
        return ProtocolError::ControlPayloadTooLong;
    }
    MaskKey key{};
    if (!random.fill(key)) return ProtocolError::RandomSourceFailed;  // RFC 6455 5.3
    const std::size_t start = out.size();
    out.resize(start + maxFrameHeaderSize + payload.size());
    const std::size_t headerSize =
        writeFrameHeader(out.data() + start, opcode, final, payload.size(), key);
    copyMasked(out.data() + start + headerSize, payload.data(), payload.size(), key);
    out.resize(start + headerSize + payload.size());
    return ProtocolError::None;
}

ProtocolError appendPong(ByteBuffer& out, std::span<const std::uint8_t> pingPayload,
                         RandomSource& random) {
    return appendFrame(out, Opcode::Pong, pingPayload, random);
}

ProtocolError appendClose(ByteBuffer& out, std::uint16_t code, std::string_view reason,
                          RandomSource& random) {
    if (code == closeNoStatus) {
        if (!reason.empty()) return ProtocolError::InvalidCloseCode;
        return appendFrame(out, Opcode::Close, {}, random);
    }
    if (!isSendableCloseCode(code)) return ProtocolError::InvalidCloseCode;
    if (reason.size() > maxCloseReason) return ProtocolError::ControlPayloadTooLong;
    // RFC 6455 5.5.1: the code in network byte order, then the reason.
    std::uint8_t payload[maxControlPayload];
    writeBigEndian(payload, closeCodeSize, code);
    for (std::size_t i = 0; i < reason.size(); ++i) {
        payload[closeCodeSize + i] = static_cast<std::uint8_t>(reason[i]);
    }
    return appendFrame(out, Opcode::Close, {payload, closeCodeSize + reason.size()}, random);
}

}  // namespace wsbridge::protocol
