// Incremental UTF-8 validation (RFC 3629) for text messages and close reasons (RFC 6455 8.1).
// Bytes may arrive in pieces cut anywhere, even inside a code point; a sequence cut at a piece
// boundary is accepted once its remaining bytes arrive. Refused: stray continuation bytes,
// overlong forms, surrogates (U+D800-U+DFFF), code points above U+10FFFF, and the bytes C0, C1,
// F5-FF. Runs of ASCII are checked a word at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace wsbridge::protocol {

class Utf8Validator {
  public:
    // Checks the next bytes. Returns false as soon as the bytes so far cannot be the start of
    // valid UTF-8; once false, it stays false until reset().
    bool feed(std::span<const std::uint8_t> bytes);

    // True when no error was seen and the bytes so far end on a code point boundary: the check
    // to make at the end of a message.
    bool complete() const { return !failed_ && pending_ == 0; }

    bool failed() const { return failed_; }

    void reset() { *this = Utf8Validator(); }

  private:
    bool scan(const std::uint8_t* data, std::size_t size);

    std::uint8_t pending_ = 0;      // continuation bytes still expected in the current code point
    std::uint8_t nextLow_ = 0x80;   // allowed range of the next continuation byte: narrower than
    std::uint8_t nextHigh_ = 0xBF;  // 80-BF after E0, ED, F0, F4 (RFC 3629 4)
    bool failed_ = false;
};

// The whole of `bytes` is valid UTF-8, ending on a code point boundary.
bool isValidUtf8(std::span<const std::uint8_t> bytes);

}  // namespace wsbridge::protocol
