// The HTTP/1.1 GET that asks the server to switch to the WebSocket protocol (RFC 6455 4.1).
//
// How the transport drives it: check the host and the user agent (as UTF-8) with checkHost() and
// checkUserAgent() (request_head.h) when the caller gives them, and escape the path with
// escapeRequestPath() then; when the caller sends the request, make a key with makeClientKey(),
// build the request from what was checked and write its text to the connection; keep the key for
// the UpgradeResponseParser.
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
    std::string_view host;  // passed checkHost(); an IPv6 literal without brackets
    std::uint16_t port = defaultSecurePort;
    bool secure = true;              // decides which port is the default one
    std::string_view requestTarget;  // the path as escapeRequestPath() gave it
    std::string_view userAgent;      // passed checkUserAgent()
};

// Builds, in this order: "GET <request target> HTTP/1.1", Host (with ":port" only when the port
// is not the scheme's default; an IPv6 literal, i.e. a host holding ':', in brackets), Upgrade:
// websocket, Connection: Upgrade, Sec-WebSocket-Key, Sec-WebSocket-Version: 13, User-Agent, and
// the blank line. No extension or subprotocol is offered.
std::string buildUpgradeRequest(const UpgradeTarget& target, std::string_view clientKey);

}  // namespace wsbridge::protocol
