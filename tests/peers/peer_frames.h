// Frames as a test peer (a server) writes and reads them (RFC 6455 5.2): unmasked server frames,
// and a client's masked frames taken apart. Written apart from the library's own codec, so that
// the tests and the benchmark's server check it against an independent reading of the RFC.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace peers {

inline constexpr std::uint8_t finBit = 0x80;
inline constexpr std::uint8_t maskBit = 0x80;
inline constexpr std::uint8_t opcodeBits = 0x0F;
inline constexpr std::uint8_t lengthBits = 0x7F;
inline constexpr std::uint8_t opContinuation = 0x0;
inline constexpr std::uint8_t opText = 0x1;
inline constexpr std::uint8_t opBinary = 0x2;
inline constexpr std::uint8_t opClose = 0x8;
inline constexpr std::uint8_t opPing = 0x9;
inline constexpr std::uint8_t opPong = 0xA;
inline constexpr std::uint8_t length16Marker = 126;
inline constexpr std::uint8_t length64Marker = 127;
inline constexpr std::uint64_t maxLength7 = 125;
inline constexpr std::uint64_t maxLength16 = 0xFFFF;
inline constexpr std::size_t maskKeySize = 4;
inline constexpr std::uint16_t closeNormal = 1000;

// The size of an unmasked header for a payload of this length, in its shortest form.
inline std::size_t frameHeaderSize(std::uint64_t payloadLength) {
    if (payloadLength <= maxLength7) return 2;
    if (payloadLength <= maxLength16) return 4;
    return 10;
}

// Appends an unmasked frame header (a server's) to any container of bytes or chars.
template <typename Bytes>
void appendFrameHeader(Bytes& out, std::uint8_t firstByte, std::uint64_t payloadLength) {
    using Byte = typename Bytes::value_type;
    out.push_back(static_cast<Byte>(firstByte));
    if (payloadLength <= maxLength7) {
        out.push_back(static_cast<Byte>(payloadLength));
        return;
    }
    const int lengthBytes = payloadLength <= maxLength16 ? 2 : 8;
    out.push_back(static_cast<Byte>(lengthBytes == 2 ? length16Marker : length64Marker));
    for (int shift = 8 * (lengthBytes - 1); shift >= 0; shift -= 8) {
        out.push_back(static_cast<Byte>((payloadLength >> shift) & 0xFF));
    }
}

// One whole unmasked frame.
template <typename Bytes, typename Payload>
Bytes serverFrame(std::uint8_t firstByte, const Payload& payload) {
    Bytes frame;
    appendFrameHeader(frame, firstByte, payload.size());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

inline std::string frame(std::uint8_t opcode, std::string_view payload) {
    return serverFrame<std::string>(finBit | opcode, payload);
}

// A close frame: the code in network byte order, then the reason (RFC 6455 5.5.1).
inline std::string closeFrame(std::uint16_t code = closeNormal, std::string_view reason = {}) {
    std::string payload{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    payload.append(reason);
    return frame(opClose, payload);
}

struct ClientFrame {
    bool fin = false;
    bool masked = false;
    std::uint8_t opcode = 0;
    std::size_t headerSize = 0;
    std::array<std::uint8_t, maskKeySize> key{};
    std::string payload;  // unmasked
};

// Takes apart the frame at the start of `bytes`; nothing while it has not all arrived. Trusts
// the lengths it reads: the clients it reads are our own.
inline std::optional<ClientFrame> parseClientFrame(std::string_view bytes) {
    if (bytes.size() < 2) return std::nullopt;
    const auto byteAt = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    ClientFrame frame;
    frame.fin = (byteAt(0) & finBit) != 0;
    frame.opcode = byteAt(0) & opcodeBits;
    frame.masked = (byteAt(1) & maskBit) != 0;
    std::uint64_t length = byteAt(1) & lengthBits;
    std::size_t position = 2;
    const std::size_t lengthBytes = length == length16Marker ? 2 : length == length64Marker ? 8 : 0;
    if (bytes.size() < position + lengthBytes) return std::nullopt;
    if (lengthBytes > 0) length = 0;
    for (std::size_t i = 0; i < lengthBytes; ++i) length = (length << 8) | byteAt(position++);
    if (frame.masked) {
        if (bytes.size() < position + maskKeySize) return std::nullopt;
        for (std::uint8_t& keyByte : frame.key) keyByte = byteAt(position++);
    }
    frame.headerSize = position;
    if (bytes.size() - position < length) return std::nullopt;
    frame.payload.assign(bytes.substr(position, static_cast<std::size_t>(length)));
    if (frame.masked) {
        for (std::size_t i = 0; i < frame.payload.size(); ++i) {
            frame.payload[i] = static_cast<char>(frame.payload[i] ^ frame.key[i % maskKeySize]);
        }
    }
    return frame;
}

// Splits a stream of client bytes, arriving in any pieces, into frames.
class ClientFrameReader {
  public:
    void feed(const char* data, std::size_t size) { buffered_.append(data, size); }
    void feed(std::string_view data) { feed(data.data(), data.size()); }

    // The next whole frame, if its bytes have all arrived.
    std::optional<ClientFrame> next() {
        std::optional<ClientFrame> frame =
            parseClientFrame(std::string_view(buffered_).substr(consumed_));
        if (!frame) return std::nullopt;
        consumed_ += frame->headerSize + frame->payload.size();
        // Drops consumed bytes once they are the larger part, so the buffer stays small.
        if (consumed_ > buffered_.size() / 2) {
            buffered_.erase(0, consumed_);
            consumed_ = 0;
        }
        return frame;
    }

    // Bytes fed and not yet taken as frames.
    std::size_t pending() const { return buffered_.size() - consumed_; }

  private:
    std::string buffered_;
    std::size_t consumed_ = 0;
};

}  // namespace peers
