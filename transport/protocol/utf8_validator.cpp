// UTF-8 validation as a small state machine over lead and continuation bytes (RFC 3629 4), with
// ASCII runs skipped 32 bytes at a time.
#include "transport/protocol/utf8_validator.h"

#include <cstring>

namespace wsbridge::protocol {
namespace {

constexpr std::uint8_t asciiLimit = 0x80;
constexpr std::uint64_t highBits = 0x8080808080808080ULL;
constexpr std::size_t wordSize = sizeof(std::uint64_t);
constexpr std::size_t wordsPerRound = 4;
constexpr std::size_t roundSize = wordSize * wordsPerRound;

constexpr std::uint8_t continuationLow = 0x80;
constexpr std::uint8_t continuationHigh = 0xBF;

std::uint64_t loadWord(const std::uint8_t* from) {
    std::uint64_t word;
    std::memcpy(&word, from, wordSize);
    return word;
}

// Index of the first byte at or after `at` that is not ASCII, or `size`.
std::size_t skipAscii(const std::uint8_t* data, std::size_t at, std::size_t size) {
    for (; at + roundSize <= size; at += roundSize) {
        const std::uint64_t any = loadWord(data + at) | loadWord(data + at + wordSize) |
                                  loadWord(data + at + 2 * wordSize) |
                                  loadWord(data + at + 3 * wordSize);
        if ((any & highBits) != 0) break;
    }
    for (; at + wordSize <= size; at += wordSize) {
        if ((loadWord(data + at) & highBits) != 0) break;
    }
    while (at < size && data[at] < asciiLimit) ++at;
    return at;
}

// What a lead byte starts: how many continuation bytes follow and the range of the first one.
// The narrower first ranges shut out overlong forms (E0, F0), surrogates (ED) and code points
// above U+10FFFF (F4).
struct LeadByte {
    std::uint8_t continuations;  // 0: not a valid lead byte
    std::uint8_t firstLow;
    std::uint8_t firstHigh;
};

LeadByte classifyLead(std::uint8_t lead) {
    if (lead < 0xC2) return {0, 0, 0};  // continuation bytes, and C0/C1 (overlong)
    if (lead <= 0xDF) return {1, continuationLow, continuationHigh};
    if (lead == 0xE0) return {2, 0xA0, continuationHigh};
    if (lead == 0xED) return {2, continuationLow, 0x9F};
    if (lead <= 0xEF) return {2, continuationLow, continuationHigh};
    if (lead == 0xF0) return {3, 0x90, continuationHigh};
    if (lead <= 0xF3) return {3, continuationLow, continuationHigh};
    if (lead == 0xF4) return {3, continuationLow, 0x8F};
    return {0, 0, 0};  // F5-FF
}

}  // namespace

bool Utf8Validator::feed(std::span<const std::uint8_t> bytes) {
    if (failed_) return false;
    if (!scan(bytes.data(), bytes.size())) failed_ = true;
    return !failed_;
}

bool Utf8Validator::scan(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    for (;;) {
        // Continuation bytes of the current code point, possibly begun in an earlier piece.
        for (; pending_ > 0; --pending_, ++at) {
            if (at == size) return true;
            if (data[at] < nextLow_ || data[at] > nextHigh_) return false;
            nextLow_ = continuationLow;
            nextHigh_ = continuationHigh;
        }
        at = skipAscii(data, at, size);
        if (at == size) return true;
        const LeadByte lead = classifyLead(data[at++]);
        if (lead.continuations == 0) return false;
        pending_ = lead.continuations;
        nextLow_ = lead.firstLow;
        nextHigh_ = lead.firstHigh;
    }
}

bool isValidUtf8(std::span<const std::uint8_t> bytes) {
    Utf8Validator validator;
    return validator.feed(bytes) && validator.complete();
}

}  // namespace wsbridge::protocol
