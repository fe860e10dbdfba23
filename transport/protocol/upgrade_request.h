// The HTTP/1.1 GET that asks the server to switch to the WebSocket protocol (RFC 6455 4.1).
//
// How the transport drives it: when the caller sends the request, convert the host, path and
// user-agent text to UTF-8, make a key with makeClientKey(), build the request and write its text
// to the connection; keep the key for the UpgradeResponseParser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transport/protocol/protocol_error.h"
#include "transport/protocol/request_head.h"

namespace wsbridge::protocol {

inline constexpr std::uint16_t defaultPlainPort = 80;
inline constexpr std::uint16_t defaultSecurePort = 443;

struct UpgradeTarget {
    std::string_view host;  // UTF-8 host name or IP literal; an IPv6 literal without brackets
    std::uint16_t port = defaultSecurePort;
    bool secure = true;          // decides which port is the default one
    std::string_view path;       // UTF-8, escaped by escapeRequestPath()
    std::string_view userAgent;  // UTF-8 User-Agent value
};

struct UpgradeRequest {
    ProtocolError error = ProtocolError::None;  // InvalidHost or InvalidUserAgent, else None
    std::string text;                           // the whole request, empty on error
};

// Builds, in this order: "GET <escaped path> HTTP/1.1", Host (with ":port" only when the port is
// not the scheme's default; an IPv6 literal, i.e. a host holding ':', in brackets), Upgrade:
// websocket, Connection: Upgrade, Sec-WebSocket-Key, Sec-WebSocket-Version: 13, User-Agent, and
// the blank line. No extension or subprotocol is offered.
UpgradeRequest buildUpgradeRequest(const UpgradeTarget& target, std::string_view clientKey);

}  // namespace wsbridge::protocol
