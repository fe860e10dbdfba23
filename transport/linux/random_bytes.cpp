#include "transport/linux/random_bytes.h"

#include <openssl/rand.h>
#include <pthread.h>

#include <array>
#include <cstring>
#include <limits>

namespace wsbridge::transport {
namespace {

// One RAND_bytes call costs some 9,500 instructions (callgrind), most of them in finding the
// generator, whatever the size asked for; for the 4-byte mask key of every frame that was most
// of the cost of a small send. Small requests are therefore served from a pool that is refilled
// from RAND_bytes a block at a time: every byte still comes from OpenSSL's CSPRNG (RFC 6455
// 10.3), and each is handed out once.
inline constexpr std::size_t poolSize = 256;
inline constexpr std::size_t largestPooledRequest = 16;  // a handshake key; mask keys are 4

// Per thread, so no lock is needed; trivially destructible, so the library stays unloadable.
struct RandomPool {
    std::array<std::uint8_t, poolSize> bytes;
    std::size_t used = poolSize;  // empty
};
thread_local RandomPool pool;

// A forked child must not hand out the bytes its parent may still hand out too.
void emptyPoolInChild() {
    pool.used = poolSize;
}

bool fillFromOpenSsl(std::span<std::uint8_t> out) {
    if (out.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
    return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

class OpenSslRandom final : public protocol::RandomSource {
  public:
    OpenSslRandom() { pthread_atfork(nullptr, nullptr, emptyPoolInChild); }

    bool fill(std::span<std::uint8_t> out) override {
        if (out.empty()) return true;
        if (out.size() > largestPooledRequest) return fillFromOpenSsl(out);
        if (pool.used + out.size() > poolSize) {
            if (!fillFromOpenSsl(pool.bytes)) return false;
            pool.used = 0;
        }
        std::memcpy(out.data(), pool.bytes.data() + pool.used, out.size());
        pool.used += out.size();
        return true;
    }
};

// Destroyed after the bridge's unload hook, for the same reason as the handle registry.
OpenSslRandom randomSource __attribute__((init_priority(101)));

}  // namespace

protocol::RandomSource& transportRandom() {
    return randomSource;
}

}  // namespace wsbridge::transport
