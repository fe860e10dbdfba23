// The server's opening handshake (RFC 6455 4.1, 4.2.2): collect the header block, bounded, then
// check it in one go.
#include "transport/protocol/upgrade_response.h"

#include <algorithm>
#include <utility>

#include "transport/protocol/handshake_headers.h"
#include "transport/protocol/handshake_key.h"

namespace wsbridge::protocol {
namespace {

constexpr int switchingProtocols = 101;

// Does the comma-separated list hold `token` (RFC 9110 5.6.1), ignoring case?
bool listHoldsToken(std::string_view list, std::string_view token) {
    return std::ranges::any_of(listElements(list), [&](std::string_view element) {
        return equalsIgnoringCase(element, token);
    });
}

// What the headers of the response said about the upgrade.
struct UpgradeHeaders {
    int upgradeCount = 0;
    bool upgradeIsWebSocket = true;
    bool connectionHasUpgrade = false;
    int acceptCount = 0;
    std::string_view accept;
    bool extensionChosen = false;
    int subprotocolCount = 0;  // non-empty Sec-WebSocket-Protocol headers
    std::string_view subprotocol;

    void take(std::string_view name, std::string_view value) {
        if (equalsIgnoringCase(name, "Upgrade")) {
            ++upgradeCount;
            upgradeIsWebSocket = upgradeIsWebSocket && equalsIgnoringCase(value, "websocket");
        } else if (equalsIgnoringCase(name, "Connection")) {
            connectionHasUpgrade = connectionHasUpgrade || listHoldsToken(value, "upgrade");
        } else if (equalsIgnoringCase(name, "Sec-WebSocket-Accept")) {
            ++acceptCount;
            accept = value;
        } else if (equalsIgnoringCase(name, "Sec-WebSocket-Extensions")) {
            extensionChosen = extensionChosen || !value.empty();
        } else if (equalsIgnoringCase(name, protocolHeader) && !value.empty()) {
            ++subprotocolCount;
            subprotocol = value;
        }
    }
};

}  // namespace

UpgradeResponseParser::UpgradeResponseParser(std::string_view clientKey,
                                             std::vector<std::string> offeredSubprotocols)
    : expectedAccept_(acceptValueFor(clientKey)),
      offeredSubprotocols_(std::move(offeredSubprotocols)) {}

std::optional<std::string_view> UpgradeResponseParser::fieldValue(std::string_view name,
                                                                  std::size_t index) const {
    for (const HeaderField& field : fields_) {
        if (equalsIgnoringCase(field.name, name) && index-- == 0) return field.value;
    }
    return std::nullopt;
}

ParseResult UpgradeResponseParser::fail(ProtocolError error, std::size_t consumed) {
    final_ = {ParseStatus::Failed, consumed, error};
    return final_;
}

ParseResult UpgradeResponseParser::feed(std::span<const std::uint8_t> input) {
    if (final_.status != ParseStatus::NeedMore) return {final_.status, 0, final_.error};
    const ParseResult collected = head_.collect(input);
    if (collected.status == ParseStatus::NeedMore) return collected;
    if (collected.status == ParseStatus::Failed) return fail(collected.error, collected.consumed);
    return finish(collected.consumed);
}

ParseResult UpgradeResponseParser::finish(std::size_t consumed) {
    UpgradeHeaders headers;
    std::vector<HeaderField> fields;  // kept only once every line is valid
    const ProtocolError malformed = head_.parse([&](std::string_view name, std::string_view value) {
        headers.take(name, value);
        fields.push_back({std::string(name), std::string(value)});
    });
    if (malformed != ProtocolError::None) return fail(malformed, consumed);
    fields_ = std::move(fields);
    headerComplete_ = true;

    const int statusCode = head_.statusCode();
    // RFC 6455 4.1, the client's checks of the server's response, in the RFC's order.
    if (statusCode != switchingProtocols) {
        return fail(ProtocolError::NotSwitchingProtocols, consumed);
    }
    if (headers.upgradeCount == 0 || !headers.upgradeIsWebSocket) {
        return fail(ProtocolError::MissingUpgradeHeader, consumed);
    }
    if (!headers.connectionHasUpgrade) {
        return fail(ProtocolError::MissingConnectionUpgrade, consumed);
    }
    if (headers.acceptCount != 1 || headers.accept != expectedAccept_) {
        return fail(ProtocolError::BadAccept, consumed);
    }
    if (headers.extensionChosen) return fail(ProtocolError::UnofferedExtension, consumed);
    if (headers.subprotocolCount > 0 && offeredSubprotocols_.empty()) {
        return fail(ProtocolError::UnofferedSubprotocol, consumed);
    }
    if (headers.subprotocolCount > 1) return fail(ProtocolError::RepeatedSubprotocol, consumed);
    // The selection, when there is one, must be one of the offered values exactly: subprotocol
    // names are case-sensitive (RFC 6455 4.1). Selecting none is the server's right.
    if (headers.subprotocolCount == 1 &&
        std::ranges::find(offeredSubprotocols_, headers.subprotocol) ==
            offeredSubprotocols_.end()) {
        return fail(ProtocolError::UnofferedSubprotocol, consumed);
    }
    final_ = {ParseStatus::Done, consumed, ProtocolError::None};
    return final_;
}

}  // namespace wsbridge::protocol
