#include "peer_handshake.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>

namespace peers {
namespace {

inline constexpr std::string_view webSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
inline constexpr std::string_view lineEnd = "\r\n";
inline constexpr std::string_view blockEnd = "\r\n\r\n";

std::string lowered(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::optional<std::size_t> headerBlockEnd(std::string_view received) {
    const std::size_t end = received.find(blockEnd);
    if (end == std::string_view::npos) return std::nullopt;
    return end + blockEnd.size();
}

std::optional<std::string> headerValue(std::string_view block, std::string_view name) {
    const std::string wanted = lowered(name);
    std::size_t lineStart = block.find(lineEnd);  // past the request or status line
    while (lineStart != std::string_view::npos && lineStart + lineEnd.size() < block.size()) {
        lineStart += lineEnd.size();
        const std::size_t end = block.find(lineEnd, lineStart);
        const std::string_view line = block.substr(lineStart, end - lineStart);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && lowered(trimmed(line.substr(0, colon))) == wanted) {
            return std::string(trimmed(line.substr(colon + 1)));
        }
        lineStart = end;
    }
    return std::nullopt;
}

std::optional<std::string> upgradeKey(std::string_view requestBlock) {
    if (!requestBlock.starts_with("GET ")) return std::nullopt;
    const auto upgrade = headerValue(requestBlock, "upgrade");
    const auto connection = headerValue(requestBlock, "connection");
    const auto version = headerValue(requestBlock, "sec-websocket-version");
    const auto key = headerValue(requestBlock, "sec-websocket-key");
    if (!upgrade || lowered(*upgrade) != "websocket") return std::nullopt;
    if (!connection || lowered(*connection).find("upgrade") == std::string::npos) {
        return std::nullopt;
    }
    if (!version || *version != "13" || !key || key->empty()) return std::nullopt;
    return key;
}

std::string acceptValue(std::string_view key) {
    const std::string input = std::string(key) + std::string(webSocketGuid);
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    unsigned char encoded[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
    const int length = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
    return std::string(reinterpret_cast<char*>(encoded), static_cast<std::size_t>(length));
}

std::string switchingProtocolsAnswer(std::string_view key) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           acceptValue(key) + "\r\n\r\n";
}

}  // namespace peers
