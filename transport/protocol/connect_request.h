// The request that asks an HTTP proxy for a tunnel to the server (RFC 9110 9.3.6), written on
// the connection to the proxy before anything else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wsbridge::protocol {

struct ConnectTarget {
    std::string_view host;  // the server, not the proxy: passed checkHost(), IPv6 without brackets
    std::uint16_t port = 0;
    std::string_view userAgent;  // passed checkUserAgent()
    // "user:password" for Basic authentication (RFC 7617 2), already percent-decoded; none: no
    // Proxy-Authorization header.
    std::optional<std::string_view> credentials;
};

// Builds "CONNECT host:port HTTP/1.1" (authority form, RFC 9112 3.2.3), Host with the same
// authority, User-Agent, Proxy-Authorization: Basic when credentials are given, and the blank
// line. An IPv6 literal is written in brackets.
std::string buildConnectRequest(const ConnectTarget& target);

}  // namespace wsbridge::protocol
