// The production random source: OpenSSL's CSPRNG, which seeds itself from the operating system.
#include "transport/protocol/random_source.h"

#include <openssl/rand.h>

#include <limits>

namespace wsbridge::protocol {
namespace {

class OpenSslRandomSource final : public RandomSource {
  public:
    bool fill(std::span<std::uint8_t> out) override {
        if (out.empty()) return true;
        if (out.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
        return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
    }
};

}  // namespace

RandomSource& systemRandomSource() {
    static OpenSslRandomSource source;
    return source;
}

}  // namespace wsbridge::protocol
