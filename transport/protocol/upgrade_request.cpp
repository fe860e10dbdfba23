// The client's opening handshake (RFC 6455 4.1).
#include "transport/protocol/upgrade_request.h"

#include <cstdint>

namespace wsbridge::protocol {
namespace {

std::string hostHeaderValue(const UpgradeTarget& target) {
    std::string value = uriHost(target.host);
    const std::uint16_t defaultPort = target.secure ? defaultSecurePort : defaultPlainPort;
    // RFC 9110 7.2: the port is left out when it is the scheme's default.
    if (target.port != defaultPort) value.append(":").append(std::to_string(target.port));
    return value;
}

}  // namespace

std::string buildUpgradeRequest(const UpgradeTarget& target, std::string_view clientKey) {
    std::string text;
    text.append("GET ").append(target.requestTarget).append(" HTTP/1.1").append(lineEnd);
    appendHeader(text, "Host", hostHeaderValue(target));
    appendHeader(text, "Upgrade", "websocket");
    appendHeader(text, "Connection", "Upgrade");
    appendHeader(text, "Sec-WebSocket-Key", clientKey);
    appendHeader(text, "Sec-WebSocket-Version", "13");
    appendHeader(text, "User-Agent", target.userAgent);
    text.append(lineEnd);
    return text;
}

}  // namespace wsbridge::protocol
