// What the two requests the client writes, the upgrade request and a proxy's CONNECT, share:
// header lines, the host as a URI writes it, and the checks that keep caller text from breaking
// a line (RFC 9112 3, 5). The transport checks the host and the user agent when the caller gives
// them, so the builders take them as checked.
#pragma once

#include <string>
#include <string_view>

#include "transport/protocol/protocol_error.h"

namespace wsbridge::protocol {

inline constexpr std::string_view lineEnd = "\r\n";

// InvalidHost unless `host` cannot break a header line: not empty, and no control character,
// space, '/' or '@'. Else None.
ProtocolError checkHost(std::string_view host);

// InvalidUserAgent when `userAgent` holds a control character, which could break its header
// line. Else None.
ProtocolError checkUserAgent(std::string_view userAgent);

// The host as the authority of a URI writes it (RFC 3986 3.2.2): an IPv6 literal, i.e. a host
// holding ':', in brackets.
std::string uriHost(std::string_view host);

// "name: value" and the line end.
void appendHeader(std::string& text, std::string_view name, std::string_view value);

}  // namespace wsbridge::protocol
