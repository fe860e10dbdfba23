// The loopback reference: after the upgrade it reads the server's stream in large chunks and only
// counts bytes, so it shows what the machine's loopback (and TLS) can carry at all.
//
//   raw_reader --port P --count N --size S [--fragment F] [--tls-ca FILE]
#include <cstdio>
#include <vector>

#include "bench_report.h"
#include "byte_channel.h"
#include "command_line.h"
#include "frame_layout.h"
#include "upgrade_exchange.h"

namespace loopback {
namespace {

inline constexpr std::size_t readChunkSize = 1 << 20;
inline constexpr int readTimeoutMs = 30000;

// Our close, masked with an all-zero key (RFC 6455 5.3 asks for a mask, not for a random one).
std::string maskedCloseFrame() {
    const std::string frame = closeFrame();
    std::string masked;
    masked.push_back(frame[0]);
    masked.push_back(static_cast<char>(static_cast<std::uint8_t>(frame[1]) | maskBit));
    masked.append(maskKeySize, '\0');
    masked.append(frame, 2);
    return masked;
}

int run(int argc, char** argv) {
    // The mode word is there for the same call shape as the other clients.
    CommandLine options(argc, argv, {"port", "count", "size", "fragment", "tls-ca"});
    const auto port = static_cast<int>(options.number("port", 0));
    const std::uint64_t count = options.number("count", 0);
    Fragmentation layout{options.number("size", 0), options.number("fragment", 0)};
    if (!options.valid() || options.mode() != "stream") {
        std::fprintf(stderr, "usage: raw_reader stream --port P --count N --size S\n");
        return 2;
    }
    SslContext tls;
    if (!options.text("tls-ca").empty()) tls = makeClientContext(options.text("tls-ca"));

    const std::uint64_t expected = streamWireBytes(layout, count);
    const auto start = BenchClock::now();
    ByteChannel channel(connectLoopback(port));
    channel.setReadTimeout(readTimeoutMs);
    std::string leftover;
    if ((tls && !channel.connectTls(tls.get(), "127.0.0.1")) ||
        !requestUpgrade(channel, port, leftover)) {
        std::fprintf(stderr, "raw_reader: upgrade failed\n");
        return 1;
    }
    std::uint64_t received = leftover.size();
    std::vector<char> chunk(readChunkSize);
    while (received < expected) {
        const long got = channel.readSome(chunk.data(), chunk.size());
        if (got <= 0) break;
        received += static_cast<std::uint64_t>(got);
    }
    const double seconds = secondsSince(start);
    if (received != expected) {
        std::fprintf(stderr, "raw_reader: %llu bytes instead of %llu\n",
                     static_cast<unsigned long long>(received),
                     static_cast<unsigned long long>(expected));
        return 1;
    }
    channel.writeAll(maskedCloseFrame());
    channel.shutdownWrite();
    reportStream(seconds, count, count * layout.size);
    return 0;
}

}  // namespace
}  // namespace loopback

int main(int argc, char** argv) {
    return loopback::run(argc, argv);
}
