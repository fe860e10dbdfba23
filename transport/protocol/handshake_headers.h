// The headers an upgrade request carries of its own (RFC 6455 4.1), those only a response
// carries, and those a GET without a body must not have: extra headers from a caller must not
// name any of them. Constants only, so the bridge can check a host's headers against the same
// list on every platform.
#pragma once

#include <array>
#include <string_view>

namespace wsbridge::protocol {

inline constexpr std::array<std::string_view, 10> handshakeHeaders{
    "Host",
    "Upgrade",
    "Connection",
    "Sec-WebSocket-Key",
    "Sec-WebSocket-Version",
    "Sec-WebSocket-Accept",
    "Sec-WebSocket-Extensions",
    "Content-Length",
    "Transfer-Encoding",
    "User-Agent",
};

// The header that offers subprotocols in the request and names the selected one in the response.
inline constexpr std::string_view protocolHeader = "Sec-WebSocket-Protocol";

}  // namespace wsbridge::protocol
