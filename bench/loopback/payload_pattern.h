// What every benchmark message carries, so each client can check what it received: printable
// ASCII (valid UTF-8, so every client's text validation passes) that depends on the byte's offset,
// with the message's sequence number in hex in its first bytes. Offsets and sequence numbers
// both show up when bytes are lost, repeated, reordered or shifted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace loopback {

inline constexpr std::size_t sequenceDigits = 8;
inline constexpr char firstPatternChar = '!';
inline constexpr std::size_t patternPeriod = 89;  // prime, so it never lines up with a frame size
// Every this many messages (and the first and last) is compared byte for byte; the others get
// their sequence number, length and a few sampled bytes checked.
inline constexpr std::uint64_t fullCheckStride = 97;

inline char patternByte(std::size_t offset) {
    return static_cast<char>(firstPatternChar + offset % patternPeriod);
}

inline void fillPattern(char* payload, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) payload[i] = patternByte(i);
}

// Messages shorter than the sequence field carry the plain pattern.
inline void stampSequence(char* payload, std::size_t size, std::uint64_t sequence) {
    if (size < sequenceDigits) return;
    static constexpr char hexDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < sequenceDigits; ++i) {
        const unsigned shift = static_cast<unsigned>(4 * (sequenceDigits - 1 - i));
        payload[i] = hexDigits[(sequence >> shift) & 0xF];
    }
}

inline std::string expectedMessage(std::size_t size, std::uint64_t sequence) {
    std::string message(size, '\0');
    fillPattern(message.data(), size);
    stampSequence(message.data(), size, sequence);
    return message;
}

// Compares a received message with the one the server sent as number `sequence`.
class MessageChecker {
  public:
    MessageChecker(std::size_t size, std::uint64_t count)
        : size_(size), count_(count), reference_(expectedMessage(size, 0)) {}

    bool check(const char* data, std::size_t length, std::uint64_t sequence) {
        if (length != size_) return false;
        if (size_ == 0) return true;
        stampSequence(reference_.data(), size_, sequence);
        const bool full = sequence % fullCheckStride == 0 || sequence + 1 == count_;
        if (full) return std::memcmp(data, reference_.data(), size_) == 0;
        const std::size_t head = size_ < sequenceDigits ? size_ : sequenceDigits;
        return std::memcmp(data, reference_.data(), head) == 0 &&
               data[size_ / 2] == reference_[size_ / 2] && data[size_ - 1] == reference_[size_ - 1];
    }

  private:
    std::size_t size_;
    std::uint64_t count_;
    std::string reference_;
};

}  // namespace loopback
