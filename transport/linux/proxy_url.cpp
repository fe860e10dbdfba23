#include "transport/linux/proxy_url.h"

#include <algorithm>
#include <cctype>

#include "transport/protocol/header_fields.h"

namespace wsbridge::transport {
namespace {

constexpr std::string_view schemeSeparator = "://";
constexpr std::string_view httpScheme = "http";
constexpr unsigned maxPort = 65535;
constexpr int hexBase = 16;

ProxyUrlResult failure(DWORD error) {
    return {std::nullopt, error};
}

std::string_view trimSpaces(std::string_view text) {
    const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// RFC 3986 2.1; none for a '%' not followed by two hex digits.
std::optional<std::string> percentDecode(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        decoded.push_back(static_cast<char>(high * hexBase + low));
        i += 2;
    }
    return decoded;
}

// A host name or IPv4 address: what a resolver takes, nothing that belongs to URI syntax.
bool isHostText(std::string_view host) {
    return !host.empty() && std::ranges::all_of(host, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return std::isalnum(byte) || c == '-' || c == '.' || c == '_';
    });
}

// An IPv6 address as written inside brackets (hex digits, ':', '.', and a '%' zone).
bool isIpv6Text(std::string_view host) {
    return host.find(':') != std::string_view::npos && std::ranges::all_of(host, [](char c) {
               const auto byte = static_cast<unsigned char>(c);
               return std::isalnum(byte) || c == ':' || c == '.' || c == '%';
           });
}

// RFC 3986 3.2.3: digits; empty stands for the default port.
std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (text.empty()) return defaultProxyPort;
    unsigned port = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        port = port * 10 + static_cast<unsigned>(c - '0');
        if (port > maxPort) return std::nullopt;
    }
    if (port == 0) return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

// "host[:port]" or "[v6]:port" into the server; false when malformed.
bool parseHostAndPort(std::string_view text, ProxyServer& server) {
    std::string_view portText;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) return false;
        if (!rest.empty()) portText = rest.substr(1);
        text = text.substr(1, close - 1);
        if (!isIpv6Text(text)) return false;
    } else {
        const std::size_t colon = text.find(':');
        if (colon != std::string_view::npos) {
            portText = text.substr(colon + 1);
            text = text.substr(0, colon);
        }
        if (!isHostText(text)) return false;
    }
    const std::optional<std::uint16_t> port = parsePort(portText);
    if (!port) return false;
    server.host = std::string(text);
    server.port = *port;
    return true;
}

}  // namespace

ProxyUrlResult parseProxyUrl(std::string_view text) {
    text = trimSpaces(text);
    if (const std::size_t separator = text.find(schemeSeparator);
        separator != std::string_view::npos) {
        if (!protocol::equalsIgnoringCase(text.substr(0, separator), httpScheme)) {
            return failure(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
        }
        text.remove_prefix(separator + schemeSeparator.size());
    }
    // RFC 3986 3.2: the authority ends at the first '/', '?' or '#'.
    std::string_view authority = text.substr(0, text.find_first_of("/?#"));

    ProxyServer server;
    // A password may hold a literal '@' (curl takes one): the last '@' ends the user information.
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view userInfo = authority.substr(0, at);
        authority.remove_prefix(at + 1);
        const std::size_t colon = userInfo.find(':');
        const std::optional<std::string> user = percentDecode(userInfo.substr(0, colon));
        const std::optional<std::string> password = percentDecode(
            colon == std::string_view::npos ? std::string_view{} : userInfo.substr(colon + 1));
        if (!user || !password) return failure(ERROR_WINHTTP_INVALID_URL);
        server.credentials = *user + ":" + *password;
    }
    if (!parseHostAndPort(authority, server)) return failure(ERROR_WINHTTP_INVALID_URL);
    return {std::move(server), ERROR_SUCCESS};
}

}  // namespace wsbridge::transport
