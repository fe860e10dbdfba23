// The client's opening handshake (RFC 6455 4.1).
#include "transport/protocol/upgrade_request.h"

#include <algorithm>
#include <cstdint>

#include "transport/protocol/handshake_headers.h"

namespace wsbridge::protocol {
namespace {

std::string hostHeaderValue(const UpgradeTarget& target) {
    std::string value = uriHost(target.host);
    const std::uint16_t defaultPort = target.secure ? defaultSecurePort : defaultPlainPort;
    // RFC 9110 7.2: the port is left out when it is the scheme's default.
    if (target.port != defaultPort) value.append(":").append(std::to_string(target.port));
    return value;
}

bool isHandshakeHeader(std::string_view name) {
    return std::ranges::any_of(
        handshakeHeaders, [&](std::string_view owned) { return equalsIgnoringCase(name, owned); });
}

bool isProtocolHeader(const HeaderField& field) {
    return equalsIgnoringCase(field.name, protocolHeader);
}

}  // namespace

ProtocolError checkExtraHeaders(std::span<const HeaderField> headers) {
    for (const HeaderField& field : headers) {
        if (!isToken(field.name) || !isFieldValue(field.value) || isHandshakeHeader(field.name) ||
            (isProtocolHeader(field) && !std::ranges::all_of(listElements(field.value), isToken))) {
            return ProtocolError::InvalidExtraHeader;
        }
    }
    return ProtocolError::None;
}

std::vector<std::string> offeredSubprotocols(std::span<const HeaderField> headers) {
    std::vector<std::string> offered;
    for (const HeaderField& field : headers) {
        if (!isProtocolHeader(field)) continue;
        for (const std::string_view protocol : listElements(field.value)) {
            offered.emplace_back(protocol);
        }
    }
    return offered;
}

std::string buildUpgradeRequest(const UpgradeTarget& target, std::string_view clientKey) {
    std::string text;
    text.append("GET ").append(target.requestTarget).append(" HTTP/1.1").append(lineEnd);
    appendHeader(text, "Host", hostHeaderValue(target));
    appendHeader(text, "Upgrade", "websocket");
    appendHeader(text, "Connection", "Upgrade");
    appendHeader(text, "Sec-WebSocket-Key", clientKey);
    appendHeader(text, "Sec-WebSocket-Version", "13");
    appendHeader(text, "User-Agent", target.userAgent);
    for (const HeaderField& field : target.extraHeaders)
        appendHeader(text, field.name, field.value);
    text.append(lineEnd);
    return text;
}

}  // namespace wsbridge::protocol
