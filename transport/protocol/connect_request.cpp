#include "transport/protocol/connect_request.h"

#include "transport/protocol/base64.h"
#include "transport/protocol/request_head.h"

namespace wsbridge::protocol {

std::string buildConnectRequest(const ConnectTarget& target) {
    const std::string authority = uriHost(target.host) + ":" + std::to_string(target.port);
    std::string text;
    text.append("CONNECT ").append(authority).append(" HTTP/1.1").append(lineEnd);
    appendHeader(text, "Host", authority);
    appendHeader(text, "User-Agent", target.userAgent);
    if (target.credentials) {
        // Base64 carries any byte, so the decoded credentials cannot break the line.
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(target.credentials->data());
        appendHeader(text, "Proxy-Authorization",
                     "Basic " + encodeBase64({bytes, target.credentials->size()}));
    }
    text.append(lineEnd);
    return text;
}

}  // namespace wsbridge::protocol
