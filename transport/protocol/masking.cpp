// Masking a vector register at a time. The key is spread over a 16-byte pattern that starts at
// the right key position, so every block uses the same pattern (16 is a multiple of 4).
#include "transport/protocol/masking.h"

#include <cstring>

namespace wsbridge::protocol {
namespace {

constexpr std::size_t blockSize = 16;
constexpr std::size_t blocksPerRound = 4;
constexpr std::size_t roundSize = blockSize * blocksPerRound;

// A 16-byte vector the compiler maps to SSE2/NEON registers; loads and stores go through memcpy,
// so any alignment is fine.
typedef std::uint8_t Block __attribute__((vector_size(blockSize)));

Block load(const std::uint8_t* from) {
    Block block;
    std::memcpy(&block, from, blockSize);
    return block;
}

void store(std::uint8_t* to, Block block) {
    std::memcpy(to, &block, blockSize);
}

Block keyPattern(MaskKey key, std::size_t keyOffset) {
    Block pattern;
    for (std::size_t i = 0; i < blockSize; ++i) pattern[i] = key[(keyOffset + i) % maskKeySize];
    return pattern;
}

// dst may equal src (masking in place); otherwise the ranges do not overlap.
void maskBytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t size, MaskKey key,
               std::size_t keyOffset) {
    const Block pattern = keyPattern(key, keyOffset);
    std::size_t done = 0;
    for (; done + roundSize <= size; done += roundSize) {
        const Block a = load(src + done) ^ pattern;
        const Block b = load(src + done + blockSize) ^ pattern;
        const Block c = load(src + done + 2 * blockSize) ^ pattern;
        const Block d = load(src + done + 3 * blockSize) ^ pattern;
        store(dst + done, a);
        store(dst + done + blockSize, b);
        store(dst + done + 2 * blockSize, c);
        store(dst + done + 3 * blockSize, d);
    }
    for (; done + blockSize <= size; done += blockSize) {
        store(dst + done, load(src + done) ^ pattern);
    }
    // The pattern repeats every 4 bytes, so byte i of the tail uses pattern[i % 4] too.
    for (std::size_t i = 0; done + i < size; ++i) dst[done + i] = src[done + i] ^ pattern[i];
}

}  // namespace

void applyMask(std::uint8_t* data, std::size_t size, MaskKey key, std::size_t keyOffset) {
    maskBytes(data, data, size, key, keyOffset);
}

void copyMasked(std::uint8_t* dst, const std::uint8_t* src, std::size_t size, MaskKey key,
                std::size_t keyOffset) {
    maskBytes(dst, src, size, key, keyOffset);
}

}  // namespace wsbridge::protocol
