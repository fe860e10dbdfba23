// The server's opening handshake (RFC 6455 4.1, 4.2.2): collect the header block, bounded, then
// check it in one go.
#include "transport/protocol/upgrade_response.h"

#include <algorithm>
#include <cctype>

#include "transport/protocol/handshake_key.h"

namespace wsbridge::protocol {
namespace {

constexpr int switchingProtocols = 101;

bool equalsIgnoringCase(std::string_view left, std::string_view right) {
    return std::ranges::equal(left, right, [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
}

// Does the comma-separated list hold `token` (RFC 9110 5.6.1), ignoring case?
bool listHoldsToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        if (equalsIgnoringCase(trimWhitespace(list.substr(0, comma)), token)) return true;
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    }
    return false;
}

// What the headers of the response said about the upgrade.
struct UpgradeHeaders {
    int upgradeCount = 0;
    bool upgradeIsWebSocket = true;
    bool connectionHasUpgrade = false;
    int acceptCount = 0;
    std::string_view accept;
    bool extensionChosen = false;
    bool subprotocolChosen = false;

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
        } else if (equalsIgnoringCase(name, "Sec-WebSocket-Protocol")) {
            subprotocolChosen = subprotocolChosen || !value.empty();
        }
    }
};

}  // namespace

UpgradeResponseParser::UpgradeResponseParser(std::string_view clientKey)
    : expectedAccept_(acceptValueFor(clientKey)) {}

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
    const ProtocolError malformed = head_.parse(
        [&](std::string_view name, std::string_view value) { headers.take(name, value); });
    if (malformed != ProtocolError::None) return fail(malformed, consumed);
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
    if (headers.subprotocolChosen) return fail(ProtocolError::UnofferedSubprotocol, consumed);
    final_ = {ParseStatus::Done, consumed, ProtocolError::None};
    return final_;
}

}  // namespace wsbridge::protocol
