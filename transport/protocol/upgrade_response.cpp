// The server's opening handshake (RFC 6455 4.1, 4.2.2): collect the header block, bounded, then
// check it in one go.
#include "transport/protocol/upgrade_response.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "transport/protocol/handshake_key.h"

namespace wsbridge::protocol {
namespace {

constexpr int switchingProtocols = 101;
constexpr int statusDigits = 3;
constexpr std::string_view httpVersionPrefix = "HTTP/1.";

bool isOptionalWhitespace(char character) {
    return character == ' ' || character == '\t';
}

// Takes the next line (without its LF, and without a CR before it) off the front of `block`.
std::string_view takeLine(std::string_view& block) {
    const std::size_t end = block.find('\n');
    std::string_view line = block.substr(0, end);
    block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// "HTTP/1.x SP 3DIGIT [SP reason]" (RFC 9112 4); returns the status or 0 when malformed.
int parseStatusLine(std::string_view line) {
    if (!line.starts_with(httpVersionPrefix)) return 0;
    line.remove_prefix(httpVersionPrefix.size());
    if (line.empty() || !std::isdigit(static_cast<unsigned char>(line.front()))) return 0;
    line.remove_prefix(1);
    if (line.empty() || line.front() != ' ') return 0;
    line = trimWhitespace(line);
    if (line.size() < statusDigits) return 0;
    int status = 0;
    for (std::size_t i = 0; i < statusDigits; ++i) {
        const char digit = line[i];
        if (!std::isdigit(static_cast<unsigned char>(digit))) return 0;
        status = status * 10 + (digit - '0');
    }
    if (line.size() > statusDigits && !isOptionalWhitespace(line[statusDigits])) return 0;
    return isFieldValue(line) ? status : 0;
}

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
        } else if (equalsIgnoringCase(name, "Sec-WebSocket-Protocol") && !value.empty()) {
            ++subprotocolCount;
            subprotocol = value;
        }
    }
};

// Splits "name: value"; false when the line is not a valid header field (RFC 9112 5).
bool splitHeader(std::string_view line, std::string_view& name, std::string_view& value) {
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return false;
    name = line.substr(0, colon);
    // No whitespace before the colon, and no obsolete line folding (RFC 9112 5.1, 5.2).
    if (!isToken(name)) return false;
    value = trimWhitespace(line.substr(colon + 1));
    return isFieldValue(value);
}

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
    if (header_.capacity() < maxResponseHeaderSize) header_.reserve(maxResponseHeaderSize);

    const std::size_t before = header_.size();
    const std::size_t taken = std::min(input.size(), maxResponseHeaderSize - before);
    header_.append(reinterpret_cast<const char*>(input.data()), taken);

    // The block ends with an empty line: a LF right after the LF (or CRLF) that ended the line
    // before. Only the new bytes are searched, each exactly once.
    for (; scanned_ < header_.size(); ++scanned_) {
        if (header_[scanned_] != '\n') continue;
        const std::size_t lineLength = scanned_ - lineStart_;
        const bool emptyLine = lineLength == 0 || (lineLength == 1 && header_[lineStart_] == '\r');
        if (emptyLine && lineStart_ > 0) {
            header_.resize(scanned_ + 1);
            return finish(scanned_ + 1 - before);
        }
        lineStart_ = scanned_ + 1;
    }
    if (header_.size() == maxResponseHeaderSize)
        return fail(ProtocolError::ResponseTooLarge, taken);
    return {ParseStatus::NeedMore, taken, ProtocolError::None};
}

ParseResult UpgradeResponseParser::finish(std::size_t consumed) {
    std::string_view block = header_;
    statusCode_ = parseStatusLine(takeLine(block));
    if (statusCode_ == 0) return fail(ProtocolError::MalformedStatusLine, consumed);

    UpgradeHeaders headers;
    std::vector<HeaderField> fields;  // kept only once every line is valid
    for (std::string_view line = takeLine(block); !line.empty(); line = takeLine(block)) {
        std::string_view name;
        std::string_view value;
        if (!splitHeader(line, name, value)) return fail(ProtocolError::MalformedHeader, consumed);
        headers.take(name, value);
        fields.push_back({std::string(name), std::string(value)});
    }
    fields_ = std::move(fields);
    headerComplete_ = true;

    // RFC 6455 4.1, the client's checks of the server's response, in the RFC's order.
    if (statusCode_ != switchingProtocols) {
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
