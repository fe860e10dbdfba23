// The HTTP/1.1 GET that asks the server to switch to the WebSocket protocol (RFC 6455 4.1).
//
// How the transport drives it: when the caller sends the request, convert the host, path and
// user-agent text to UTF-8, make a key with makeClientKey(), build the request and write its text
// to the connection; keep the key for the UpgradeResponseParser.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "transport/protocol/header_fields.h"
#include "transport/protocol/protocol_error.h"

namespace wsbridge::protocol {

inline constexpr std::uint16_t defaultPlainPort = 80;
inline constexpr std::uint16_t defaultSecurePort = 443;

struct UpgradeTarget {
    std::string_view host;  // UTF-8 host name or IP literal; an IPv6 literal without brackets
    std::uint16_t port = defaultSecurePort;
    bool secure = true;                           // decides which port is the default one
    std::string_view path;                        // UTF-8, escaped by escapeRequestPath()
    std::string_view userAgent;                   // UTF-8 User-Agent value
    std::span<const HeaderField> extraHeaders{};  // after ours, in order; see checkExtraHeaders()
};

struct UpgradeRequest {
    // InvalidHost, InvalidUserAgent or InvalidExtraHeader, else None
    ProtocolError error = ProtocolError::None;
    std::string text;  // the whole request, empty on error
};

// True when `host` cannot break a header line: not empty, and no control character, space, '/'
// or '@'.
bool isAcceptableHost(std::string_view host);

// InvalidExtraHeader when a field is not valid, names a header the request writes itself (Host,
// Upgrade, Connection, Sec-WebSocket-Key, -Version, -Accept, -Extensions, Content-Length,
// Transfer-Encoding, User-Agent), or is a Sec-WebSocket-Protocol that is not a list of tokens
// (RFC 6455 4.1); else None.
ProtocolError checkExtraHeaders(std::span<const HeaderField> headers);

// The subprotocols the extra headers offer (every Sec-WebSocket-Protocol, in order); empty when
// none is offered. The headers must have passed checkExtraHeaders().
std::vector<std::string> offeredSubprotocols(std::span<const HeaderField> headers);

// Builds, in this order: "GET <escaped path> HTTP/1.1", Host (with ":port" only when the port is
// not the scheme's default; an IPv6 literal, i.e. a host holding ':', in brackets), Upgrade:
// websocket, Connection: Upgrade, Sec-WebSocket-Key, Sec-WebSocket-Version: 13, User-Agent, the
// extra headers, and the blank line. No extension is offered; a subprotocol only when an extra
// header does.
UpgradeRequest buildUpgradeRequest(const UpgradeTarget& target, std::string_view clientKey);

}  // namespace wsbridge::protocol
