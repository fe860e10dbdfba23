#include "server_url.h"

#include <algorithm>
#include <cctype>

namespace cli {
namespace {

inline constexpr std::int32_t plainDefaultPort = 80;    // RFC 6455 3
inline constexpr std::int32_t secureDefaultPort = 443;  // RFC 6455 3
inline constexpr std::int32_t highestPort = 65535;

UrlParseResult failure(std::string error) {
    return UrlParseResult{std::nullopt, std::move(error)};
}

std::string quoted(std::string_view text) {
    std::string result(1, '\'');
    result.append(text);
    result.push_back('\'');
    return result;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char lower, char typed) {
        return std::tolower(static_cast<unsigned char>(typed)) == lower;
    });
}

// Bytes that never belong in a host or path as typed on a command line.
bool isSpaceOrControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
}

bool containsSpaceOrControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(), isSpaceOrControl);
}

bool isIpv6LiteralCharacter(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

std::optional<std::int32_t> parsePort(std::string_view digits) {
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    std::int32_t port = 0;
    for (const char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > highestPort) return std::nullopt;
    return port;
}

struct Authority {
    std::string host;
    std::string_view portText;  // empty when no port was given
};

std::optional<Authority> splitAuthority(std::string_view authority, std::string& error) {
    if (authority.find('@') != std::string_view::npos) {
        error = "user information ('@') is not supported in the URL";
        return std::nullopt;
    }
    Authority parts;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            error = "missing ']' after the IPv6 address";
            return std::nullopt;
        }
        const std::string_view literal = authority.substr(1, close - 1);
        if (literal.find(':') == std::string_view::npos ||
            !std::all_of(literal.begin(), literal.end(), isIpv6LiteralCharacter)) {
            error = quoted(literal) + " is not an IPv6 address";
            return std::nullopt;
        }
        parts.host = std::string(literal);
        rest = authority.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            error = "unexpected text after the IPv6 address";
            return std::nullopt;
        }
    } else {
        const std::size_t colon = authority.find(':');
        if (colon != authority.rfind(':')) {
            error = "an IPv6 address goes in brackets, as in ws://[::1]:8080/";
            return std::nullopt;
        }
        parts.host = std::string(authority.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
        if (parts.host.find('[') != std::string::npos ||
            parts.host.find(']') != std::string::npos) {
            error = "brackets belong only around an IPv6 address";
            return std::nullopt;
        }
    }
    if (parts.host.empty()) {
        error = "the URL names no host";
        return std::nullopt;
    }
    if (!rest.empty()) {
        parts.portText = rest.substr(1);
        if (parts.portText.empty()) {
            error = "empty port after ':'";
            return std::nullopt;
        }
    }
    return parts;
}

}  // namespace

UrlParseResult parseServerUrl(std::string_view text) {
    ServerUrl url;
    std::string_view rest;
    if (startsWithIgnoringCase(text, "ws://")) {
        rest = text.substr(5);
        url.port = plainDefaultPort;
    } else if (startsWithIgnoringCase(text, "wss://")) {
        rest = text.substr(6);
        url.port = secureDefaultPort;
        url.secure = true;
    } else {
        return failure("the URL must start with ws:// or wss://");
    }
    if (containsSpaceOrControl(rest))
        return failure("the URL contains a space or control character");
    // RFC 6455 3: a WebSocket URI has no fragment.
    if (rest.find('#') != std::string_view::npos)
        return failure("a WebSocket URL has no fragment ('#')");

    const std::size_t pathStart = std::min(rest.find('/'), rest.find('?'));
    const std::string_view authority = rest.substr(0, pathStart);
    std::string error;
    const std::optional<Authority> parts = splitAuthority(authority, error);
    if (!parts) return failure(error);
    url.host = parts->host;
    if (!parts->portText.empty()) {
        const std::optional<std::int32_t> port = parsePort(parts->portText);
        if (!port) return failure(quoted(parts->portText) + " is not a port from 1 to 65535");
        url.port = *port;
    }

    const std::string_view path = pathStart == std::string_view::npos ? "" : rest.substr(pathStart);
    // RFC 6455 3: an empty path is sent as "/", and a bare query still needs the slash before it.
    url.path = std::string(path);
    if (url.path.empty() || url.path.front() != '/') url.path.insert(url.path.begin(), '/');
    return UrlParseResult{std::move(url), {}};
}

}  // namespace cli
