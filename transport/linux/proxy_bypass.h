// Which servers are reached without the proxy: loopback always, and what no_proxy lists.
#pragma once

#include <string_view>

namespace wsbridge::transport {

// 127.0.0.0/8, ::1 (also as ::ffff:127.x.y.z), "localhost" and names under it (RFC 6761 6.3).
// Such a server is on this machine: a proxy elsewhere could not reach it as we mean it.
bool isLoopbackHost(std::string_view host);

// Whether `host` (a name, or an IP literal without brackets, as the caller gave it) matches an
// entry of the comma-separated `list`, the way curl reads no_proxy: "*" matches every host; a
// name matches itself and the names under it, with or without a leading "." (or "*."), ignoring
// case and a trailing "."; an IP address (IPv6 with or without brackets) matches that address;
// an address with "/bits" matches the addresses in that CIDR range. Names are never resolved:
// an address entry matches only a host given as an address. Spaces around entries are ignored;
// an entry that is none of these matches nothing.
bool isListedInNoProxy(std::string_view list, std::string_view host);

}  // namespace wsbridge::transport
