// Random sources with known output, so that frames and keys are reproducible in tests and in the
// fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "transport/protocol/random_source.h"

namespace wsbridge::protocol::testing {

// Hands out the given bytes in a cycle and counts how many were drawn.
class CyclingRandomSource final : public RandomSource {
  public:
    explicit CyclingRandomSource(std::vector<std::uint8_t> pattern)
        : pattern_(std::move(pattern)) {}
    bool fill(std::span<std::uint8_t> out) override {
        for (std::uint8_t& byte : out) byte = pattern_[drawn_++ % pattern_.size()];
        return true;
    }
    std::size_t drawn() const { return drawn_; }

  private:
    std::vector<std::uint8_t> pattern_;
    std::size_t drawn_ = 0;
};

// Hands out 0, 1, 2, ... so that consecutive draws always differ.
class CountingRandomSource final : public RandomSource {
  public:
    bool fill(std::span<std::uint8_t> out) override {
        for (std::uint8_t& byte : out) byte = static_cast<std::uint8_t>(next_++);
        return true;
    }

  private:
    unsigned next_ = 0;
};

class FailingRandomSource final : public RandomSource {
  public:
    bool fill(std::span<std::uint8_t>) override { return false; }
};

}  // namespace wsbridge::protocol::testing
