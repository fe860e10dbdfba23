// With libcrypto's encoder, which the protocol core links for SHA-1 already.
#include "transport/protocol/base64.h"

#include <openssl/evp.h>

namespace wsbridge::protocol {
namespace {

constexpr std::size_t base64Size(std::size_t bytes) {
    return (bytes + 2) / 3 * 4;
}

}  // namespace

std::string encodeBase64(std::span<const std::uint8_t> bytes) {
    std::string text(base64Size(bytes.size()) + 1, '\0');  // EVP_EncodeBlock writes a terminator
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                        static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

}  // namespace wsbridge::protocol
