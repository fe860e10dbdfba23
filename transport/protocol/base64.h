// Base64 (RFC 4648 4), the alphabet with '+' and '/' and '=' padding: the Sec-WebSocket-Key and
// -Accept values and the credentials of HTTP Basic authentication.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace wsbridge::protocol {

std::string encodeBase64(std::span<const std::uint8_t> bytes);

}  // namespace wsbridge::protocol
