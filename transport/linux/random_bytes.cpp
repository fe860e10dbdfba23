#include "transport/linux/random_bytes.h"

#include <openssl/rand.h>

#include <limits>

namespace wsbridge::transport {
namespace {

class OpenSslRandom final : public protocol::RandomSource {
  public:
    bool fill(std::span<std::uint8_t> out) override {
        if (out.empty()) return true;
        if (out.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
        return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
    }
};

}  // namespace

protocol::RandomSource& transportRandom() {
    static protocol::RandomSource* const source = new OpenSslRandom;
    return *source;
}

}  // namespace wsbridge::transport
