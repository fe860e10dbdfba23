// Sec-WebSocket-Key and Sec-WebSocket-Accept (RFC 6455 4.1 and 4.2.2), with libcrypto's SHA-1
// and base64.
#include "transport/protocol/handshake_key.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <array>

namespace wsbridge::protocol {
namespace {

// RFC 6455 1.3: the GUID appended to the key before hashing.
constexpr std::string_view acceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

constexpr std::size_t base64Size(std::size_t bytes) {
    return (bytes + 2) / 3 * 4;
}

std::string toBase64(const unsigned char* bytes, std::size_t size) {
    std::string text(base64Size(size) + 1, '\0');  // EVP_EncodeBlock writes a terminator
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes,
                                        static_cast<int>(size));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

}  // namespace

std::optional<std::string> makeClientKey(RandomSource& random) {
    std::array<std::uint8_t, clientKeyRandomBytes> nonce{};
    if (!random.fill(nonce)) return std::nullopt;
    return toBase64(nonce.data(), nonce.size());
}

std::string acceptValueFor(std::string_view clientKey) {
    std::string keyed;
    keyed.reserve(clientKey.size() + acceptGuid.size());
    keyed.append(clientKey).append(acceptGuid);
    std::array<unsigned char, SHA_DIGEST_LENGTH> digest{};
    SHA1(reinterpret_cast<const unsigned char*>(keyed.data()), keyed.size(), digest.data());
    return toBase64(digest.data(), digest.size());
}

}  // namespace wsbridge::protocol
