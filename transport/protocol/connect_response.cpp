#include "transport/protocol/connect_response.h"

namespace wsbridge::protocol {
namespace {

constexpr int statusClassSize = 100;
constexpr int informationalClass = 1;
constexpr int successfulClass = 2;
constexpr int switchingProtocols = 101;  // a final answer here: it names no protocol to switch to
constexpr int proxyAuthenticationRequired = 407;

}  // namespace

ParseResult ConnectResponseParser::fail(ProtocolError error, std::size_t consumed) {
    final_ = {ParseStatus::Failed, consumed, error};
    return final_;
}

ParseResult ConnectResponseParser::feed(std::span<const std::uint8_t> input) {
    if (final_.status != ParseStatus::NeedMore) return {final_.status, 0, final_.error};
    std::size_t consumed = 0;
    for (;;) {
        const ParseResult collected = head_.collect(input.subspan(consumed));
        consumed += collected.consumed;
        if (collected.status == ParseStatus::NeedMore) return {ParseStatus::NeedMore, consumed};
        if (collected.status == ParseStatus::Failed) return fail(collected.error, consumed);

        const ProtocolError malformed = head_.parse([](std::string_view, std::string_view) {});
        if (malformed != ProtocolError::None) return fail(malformed, consumed);
        const int status = head_.statusCode();
        if (status / statusClassSize == informationalClass && status != switchingProtocols) {
            if (++interimCount_ > maxInterimResponses) {
                return fail(ProtocolError::TooManyInterimResponses, consumed);
            }
            head_.reset();
            continue;
        }
        finalStatus_ = status;
        if (status / statusClassSize == successfulClass) {
            final_ = {ParseStatus::Done, consumed, ProtocolError::None};
            return final_;
        }
        return fail(status == proxyAuthenticationRequired
                        ? ProtocolError::ProxyAuthenticationRequired
                        : ProtocolError::TunnelRefused,
                    consumed);
    }
}

}  // namespace wsbridge::protocol
