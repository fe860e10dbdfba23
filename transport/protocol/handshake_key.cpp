// Sec-WebSocket-Key and Sec-WebSocket-Accept (RFC 6455 4.1 and 4.2.2), with libcrypto's SHA-1.
#include "transport/protocol/handshake_key.h"

#include <openssl/sha.h>

#include <array>

#include "transport/protocol/base64.h"

namespace wsbridge::protocol {
namespace {

// RFC 6455 1.3: the GUID appended to the key before hashing.
constexpr std::string_view acceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

}  // namespace

std::optional<std::string> makeClientKey(RandomSource& random) {
    std::array<std::uint8_t, clientKeyRandomBytes> nonce{};
    if (!random.fill(nonce)) return std::nullopt;
    return encodeBase64(nonce);
}

std::string acceptValueFor(std::string_view clientKey) {
    std::string keyed;
    keyed.reserve(clientKey.size() + acceptGuid.size());
    keyed.append(clientKey).append(acceptGuid);
    std::array<unsigned char, SHA_DIGEST_LENGTH> digest{};
    SHA1(reinterpret_cast<const unsigned char*>(keyed.data()), keyed.size(), digest.data());
    return encodeBase64(digest);
}

}  // namespace wsbridge::protocol
