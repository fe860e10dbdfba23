#include "upgrade_exchange.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <optional>

namespace loopback {
namespace {

inline constexpr std::size_t maxHeaderBlock = 16 * 1024;
inline constexpr std::size_t readChunk = 4096;
inline constexpr const char* webSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
inline constexpr const char* headerEnd = "\r\n\r\n";
// A fixed key: the raw reader does not check the answer's accept value.
inline constexpr const char* fixedClientKey = "dGhlIHNhbXBsZSBub25jZQ==";

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Reads until the end of the header block; splits off what follows it.
bool readHeaderBlock(ByteChannel& channel, std::string& block, std::string& leftover) {
    std::string received;
    char chunk[readChunk];
    for (;;) {
        const auto end = received.find(headerEnd);
        if (end != std::string::npos) {
            block = received.substr(0, end + 2);  // keeps the last line's CRLF
            leftover = received.substr(end + 4);
            return true;
        }
        if (received.size() > maxHeaderBlock) return false;
        const long got = channel.readSome(chunk, sizeof chunk);
        if (got <= 0) return false;
        received.append(chunk, static_cast<std::size_t>(got));
    }
}

// The value of a header (names compared without case), if present.
std::optional<std::string> headerValue(const std::string& block, const std::string& name) {
    std::size_t lineStart = block.find("\r\n");
    while (lineStart != std::string::npos && lineStart + 2 < block.size()) {
        lineStart += 2;
        const std::size_t lineEnd = block.find("\r\n", lineStart);
        const std::string line = block.substr(lineStart, lineEnd - lineStart);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos && lowered(trimmed(line.substr(0, colon))) == name)
            return trimmed(line.substr(colon + 1));
        lineStart = lineEnd;
    }
    return std::nullopt;
}

bool isValidUpgradeRequest(const std::string& block, std::string& key) {
    if (block.rfind("GET ", 0) != 0) return false;
    const auto upgrade = headerValue(block, "upgrade");
    const auto connection = headerValue(block, "connection");
    const auto version = headerValue(block, "sec-websocket-version");
    const auto clientKey = headerValue(block, "sec-websocket-key");
    if (!upgrade || lowered(*upgrade) != "websocket") return false;
    if (!connection || lowered(*connection).find("upgrade") == std::string::npos) return false;
    if (!version || *version != "13" || !clientKey || clientKey->empty()) return false;
    key = *clientKey;
    return true;
}

}  // namespace

std::string acceptValue(const std::string& key) {
    const std::string input = key + webSocketGuid;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    unsigned char encoded[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
    const int length = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
    return std::string(reinterpret_cast<char*>(encoded), static_cast<std::size_t>(length));
}

bool acceptUpgrade(ByteChannel& channel, std::string& leftover) {
    std::string block;
    std::string key;
    if (!readHeaderBlock(channel, block, leftover)) return false;
    if (!isValidUpgradeRequest(block, key)) {
        channel.writeAll("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
        return false;
    }
    return channel.writeAll(
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        acceptValue(key) + "\r\n\r\n");
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
