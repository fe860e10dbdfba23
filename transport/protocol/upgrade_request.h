// The HTTP/1.1 GET that asks the server to switch to the WebSocket protocol (RFC 6455 4.1).
//
// How the transport drives it: check the host and the user agent (as UTF-8) with checkHost() and
// checkUserAgent() (request_head.h) when the caller gives them, escape the path with
// escapeRequestPath() then, and check extra headers with checkExtraHeaders() when they are added;
// when the caller sends the request, make a key with makeClientKey(), build the request from what
// was checked and write its text to the connection; keep the key, and offeredSubprotocols(), for
// the UpgradeResponseParser.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "transport/protocol/header_fields.h"
#include "transport/protocol/protocol_error.h"
#include "transport/protocol/request_head.h"

namespace wsbridge::protocol {

inline constexpr std::uint16_t defaultPlainPort = 80;
inline constexpr std::uint16_t defaultSecurePort = 443;

struct UpgradeTarget {
    std::string_view host;  // passed checkHost(); an IPv6 literal without brackets
    std::uint16_t port = defaultSecurePort;
    bool secure = true;                           // decides which port is the default one
    std::string_view requestTarget;               // the path as escapeRequestPath() gave it
    std::string_view userAgent;                   // passed checkUserAgent()
    std::span<const HeaderField> extraHeaders{};  // passed checkExtraHeaders(); after ours
};

// InvalidExtraHeader when a field is not valid, names a header the request writes itself or that
// only a response carries (handshake_headers.h), or is a Sec-WebSocket-Protocol that is not a
// list of tokens (RFC 6455 4.1). Else None.
ProtocolError checkExtraHeaders(std::span<const HeaderField> headers);

// The subprotocols the extra headers offer (every Sec-WebSocket-Protocol, in order); empty when
// none is offered. The headers must have passed checkExtraHeaders().
std::vector<std::string> offeredSubprotocols(std::span<const HeaderField> headers);

// Builds, in this order: "GET <request target> HTTP/1.1", Host (with ":port" only when the port
// is not the scheme's default; an IPv6 literal, i.e. a host holding ':', in brackets), Upgrade:
// websocket, Connection: Upgrade, Sec-WebSocket-Key, Sec-WebSocket-Version: 13, User-Agent, the
// extra headers, and the blank line. No extension is offered; a subprotocol only when an extra
// header does.
std::string buildUpgradeRequest(const UpgradeTarget& target, std::string_view clientKey);

}  // namespace wsbridge::protocol
