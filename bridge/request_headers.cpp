#include "bridge/request_headers.h"

#include <algorithm>
#include <string_view>

#include "transport/protocol/handshake_headers.h"

namespace wsbridge {
namespace {

using Utf16View = std::basic_string_view<WCHAR>;

inline constexpr Utf16View lineEnd = WSBRIDGE_WIDE("\r\n");
inline constexpr WCHAR horizontalTab = 0x09;
inline constexpr WCHAR firstPrintable = 0x20;
inline constexpr WCHAR lastPrintable = 0x7E;

char lowerAscii(WCHAR c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

bool equalsIgnoringCase(Utf16View name, std::string_view ascii) {
    return std::ranges::equal(name, ascii, [](WCHAR a, char b) {
        return lowerAscii(a) == lowerAscii(static_cast<WCHAR>(b));
    });
}

// RFC 9110 5.6.2: tchar.
bool isTokenCharacter(WCHAR c) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
    return c < 0x80 &&
           std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool isToken(Utf16View text) {
    return !text.empty() && std::ranges::all_of(text, isTokenCharacter);
}

bool isValueCharacter(WCHAR c) {
    return c == horizontalTab || (c >= firstPrintable && c <= lastPrintable);
}

Utf16View trim(Utf16View text) {
    const auto isSpace = [](WCHAR c) { return c == ' ' || c == horizontalTab; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

// RFC 6455 4.1: the offer is a comma-separated list of tokens. Appends them; false when the
// value is anything else.
bool takeOfferedProtocols(Utf16View value, std::vector<std::string>& offered) {
    for (;;) {
        const std::size_t comma = value.find(',');
        const Utf16View element = trim(value.substr(0, comma));
        if (!isToken(element)) return false;
        offered.emplace_back(element.begin(), element.end());  // tokens are ASCII
        if (comma == Utf16View::npos) return true;
        value.remove_prefix(comma + 1);
    }
}

bool takeLine(Utf16View line, std::vector<std::string>& offered) {
    const std::size_t colon = line.find(':');
    if (colon == Utf16View::npos) return false;
    const Utf16View name = line.substr(0, colon);
    const Utf16View value = line.substr(colon + 1);
    if (!isToken(name) || !std::ranges::all_of(value, isValueCharacter)) return false;
    for (const std::string_view owned : protocol::handshakeHeaders) {
        if (equalsIgnoringCase(name, owned)) return false;
    }
    return !equalsIgnoringCase(name, protocol::protocolHeader) ||
           takeOfferedProtocols(trim(value), offered);
}

}  // namespace

std::optional<RequestHeaders> checkRequestHeaders(const WsChar16* headers) {
    RequestHeaders checked;
    if (!headers) return checked;
    const auto* wide = reinterpret_cast<const WCHAR*>(headers);
    std::size_t length = 0;
    while (wide[length] != 0) {
        if (++length > maxRequestHeadersLength) return std::nullopt;
    }
    Utf16View text(wide, length);
    if (text.empty()) return checked;
    if (text.ends_with(lineEnd)) text.remove_suffix(lineEnd.size());  // the final CR LF
    for (;;) {
        const std::size_t end = text.find(lineEnd);
        if (!takeLine(text.substr(0, end), checked.offeredProtocols)) return std::nullopt;
        if (end == Utf16View::npos) break;
        text.remove_prefix(end + lineEnd.size());
    }
    checked.text.assign(wide, length);
    return checked;
}

}  // namespace wsbridge
