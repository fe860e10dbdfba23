// What the two requests the client writes, the upgrade request and a proxy's CONNECT, share:
// header lines, the host as a URI writes it, and the checks that keep caller text from breaking
// a line (RFC 9112 3, 5).
#pragma once

#include <string>
#include <string_view>

namespace wsbridge::protocol {

inline constexpr std::string_view lineEnd = "\r\n";

// True when `host` cannot break a header line: not empty, and no control character, space, '/'
// or '@'.
bool isAcceptableHost(std::string_view host);

// True when `value` holds no control character, so it cannot end its header line early.
bool isAcceptableHeaderValue(std::string_view value);

// The host as the authority of a URI writes it (RFC 3986 3.2.2): an IPv6 literal, i.e. a host
// holding ':', in brackets.
std::string uriHost(std::string_view host);

// "name: value" and the line end.
void appendHeader(std::string& text, std::string_view name, std::string_view value);

}  // namespace wsbridge::protocol
