// RFC 6455 5.3 masking: payload byte i is XORed with key[i % 4]. Works a machine word (or vector)
// at a time; the result is the same as the byte-wise definition for any length and alignment.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/protocol/frame_format.h"

namespace wsbridge::protocol {

// Masks (or unmasks: the operation is its own inverse) `size` bytes in place. `keyOffset` is the
// position of data[0] within the payload, so a payload can be masked in several pieces.
void applyMask(std::uint8_t* data, std::size_t size, MaskKey key, std::size_t keyOffset = 0);

// Writes src[i] ^ key[(keyOffset + i) % 4] to dst[i]; the ranges must not overlap. One pass
// instead of a copy and then applyMask.
void copyMasked(std::uint8_t* dst, const std::uint8_t* src, std::size_t size, MaskKey key,
                std::size_t keyOffset = 0);

}  // namespace wsbridge::protocol
