// Where mask keys and handshake keys come from. Production code uses the system source (OpenSSL's
// CSPRNG); tests inject a fixed source so frames and requests are reproducible (RFC 6455 5.3
// requires mask keys the server cannot predict, so nothing else may stand in outside tests).
#pragma once

#include <cstdint>
#include <span>

namespace wsbridge::protocol {

class RandomSource {
  public:
    virtual ~RandomSource() = default;
    // Fills all of `out`; returns false if no unpredictable bytes could be produced, in which case
    // the caller must not send anything built from `out`.
    virtual bool fill(std::span<std::uint8_t> out) = 0;
};

// The process-wide source backed by OpenSSL's RAND_bytes. Stateless, so any thread may use it.
RandomSource& systemRandomSource();

}  // namespace wsbridge::protocol
