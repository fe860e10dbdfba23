#include "upgrade_exchange.h"

#include <optional>

#include "peer_handshake.h"

namespace loopback {
namespace {

inline constexpr std::size_t readChunk = 4096;
// A fixed key: the raw reader does not check the answer's accept value.
inline constexpr const char* fixedClientKey = "dGhlIHNhbXBsZSBub25jZQ==";

// Reads until the end of the header block; splits off what follows it.
bool readHeaderBlock(ByteChannel& channel, std::string& block, std::string& leftover) {
    std::string received;
    char chunk[readChunk];
    for (;;) {
        if (const auto end = peers::headerBlockEnd(received)) {
            block = received.substr(0, *end);
            leftover = received.substr(*end);
            return true;
        }
        if (received.size() > peers::maxRequestHeaderSize) return false;
        const long got = channel.readSome(chunk, sizeof chunk);
        if (got <= 0) return false;
        received.append(chunk, static_cast<std::size_t>(got));
    }
}

}  // namespace

bool acceptUpgrade(ByteChannel& channel, std::string& leftover) {
    std::string block;
    if (!readHeaderBlock(channel, block, leftover)) return false;
    const std::optional<std::string> key = peers::upgradeKey(block);
    if (!key) {
        channel.writeAll(std::string(peers::badRequestAnswer));
        return false;
    }
    return channel.writeAll(peers::switchingProtocolsAnswer(*key));
}

bool requestUpgrade(ByteChannel& channel, int port, std::string& leftover) {
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: " +
                                std::string(fixedClientKey) +
                                "\r\nSec-WebSocket-Version: 13\r\n\r\n";
    std::string block;
    return channel.writeAll(request) && readHeaderBlock(channel, block, leftover) &&
           block.rfind("HTTP/1.1 101", 0) == 0;
}

}  // namespace loopback
