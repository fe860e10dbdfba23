// A proxy as an environment variable names it, in the forms curl and most Linux tools accept:
// [http://][user[:password]@]host[:port][/], the host a name, an IPv4 address or an IPv6
// address in brackets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "transport/linux/winhttp_decls.h"

namespace wsbridge::transport {

// The port of a proxy URL that names none, as curl assumes.
inline constexpr std::uint16_t defaultProxyPort = 1080;

struct ProxyServer {
    std::string host;  // a name or an IP literal, IPv6 without brackets
    std::uint16_t port = defaultProxyPort;
    std::optional<std::string> credentials;  // "user:password", percent-decoded; none without '@'
};

struct ProxyUrlResult {
    std::optional<ProxyServer> server;  // set when error is ERROR_SUCCESS
    DWORD error = ERROR_SUCCESS;
};

// Errors: ERROR_WINHTTP_UNRECOGNIZED_SCHEME for a scheme other than http (an https:// proxy,
// which would need TLS to the proxy itself, and socks proxies are not supported);
// ERROR_WINHTTP_INVALID_URL for anything else that is not a proxy URL (no host, a bad port, a bad
// percent escape, an IPv6 address without brackets). Whatever follows the authority (a path, a
// query) is ignored.
ProxyUrlResult parseProxyUrl(std::string_view text);

}  // namespace wsbridge::transport
