// Splits the bytes a client sends into frames and unmasks them (RFC 6455 5.2, 5.3). Enough for
// the loopback server's echo and for seeing a client's close; it trusts its peer's lengths, since
// the peers are our own benchmark clients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "frame_layout.h"

namespace loopback {

struct ClientFrame {
    bool fin = false;
    bool masked = false;
    std::uint8_t opcode = 0;
    std::string payload;  // unmasked
};

class ClientFrameReader {
  public:
    void feed(const char* data, std::size_t size) { buffered_.append(data, size); }

    // The next whole frame, if its bytes have all arrived.
    std::optional<ClientFrame> next() {
        const std::size_t available = buffered_.size() - consumed_;
        if (available < 2) return std::nullopt;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffered_.data() + consumed_);
        ClientFrame frame;
        frame.fin = (bytes[0] & finBit) != 0;
        frame.opcode = bytes[0] & 0x0F;
        frame.masked = (bytes[1] & maskBit) != 0;
        std::uint64_t length = bytes[1] & 0x7F;
        std::size_t position = 2;
        const std::size_t lengthBytes = length == length16Marker   ? 2
                                        : length == length64Marker ? 8
                                                                   : 0;
        if (available < position + lengthBytes) return std::nullopt;
        if (lengthBytes > 0) {
            length = 0;
            for (std::size_t i = 0; i < lengthBytes; ++i)
                length = (length << 8) | bytes[position++];
        }
        const std::size_t keyBytes = frame.masked ? maskKeySize : 0;
        if (available < position + keyBytes + length) return std::nullopt;
        const std::uint8_t* key = bytes + position;
        position += keyBytes;
        frame.payload.assign(reinterpret_cast<const char*>(bytes + position), length);
        if (frame.masked) {
            for (std::size_t i = 0; i < frame.payload.size(); ++i)
                frame.payload[i] = static_cast<char>(frame.payload[i] ^ key[i % maskKeySize]);
        }
        consumed_ += position + length;
        compact();
        return frame;
    }

  private:
    // Drops consumed bytes once they are the larger part, so the buffer stays small.
    void compact() {
        if (consumed_ > buffered_.size() / 2) {
            buffered_.erase(0, consumed_);
            consumed_ = 0;
        }
    }

    std::string buffered_;
    std::size_t consumed_ = 0;
};

}  // namespace loopback
