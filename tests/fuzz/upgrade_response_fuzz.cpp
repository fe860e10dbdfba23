// Fuzzes the upgrade response parser. The first byte chooses a chunk size (its low 5 bits) and
// whether subprotocols were offered (bit 5); the rest is what the server sent. Fed whole or in
// chunks, the parser must reach the same verdict and hand back the same frame bytes after the
// header block, never take more than the bound, and find the same header values.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "transport/protocol/upgrade_response.h"

namespace {

using namespace wsbridge::protocol;

void require(bool condition) {
    if (!condition) std::abort();
}

struct Outcome {
    ParseStatus status = ParseStatus::NeedMore;
    ProtocolError error = ProtocolError::None;
    std::size_t headerSize = 0;  // bytes taken by the parser in all
    int statusCode = 0;
    bool headerComplete = false;
    std::optional<std::string> selected;  // the first Sec-WebSocket-Protocol, once complete
    bool operator==(const Outcome&) const = default;
};

// The client key of RFC 6455 1.3, so the sample accept value in the seed corpus is the right one.
constexpr std::string_view clientKey = "dGhlIHNhbXBsZSBub25jZQ==";

constexpr std::size_t chunkBits = 0x1F;
constexpr std::uint8_t offerBit = 0x20;

Outcome parse(std::span<const std::uint8_t> input, std::size_t chunkSize, bool offer) {
    UpgradeResponseParser parser(clientKey, offer ? std::vector<std::string>{"chat", "superchat"}
                                                  : std::vector<std::string>{});
    Outcome outcome;
    for (std::size_t at = 0; at < input.size(); at += chunkSize) {
        const auto chunk = input.subspan(at, std::min(chunkSize, input.size() - at));
        const ParseResult result = parser.feed(chunk);
        require(result.consumed <= chunk.size());
        if (outcome.status != ParseStatus::NeedMore) {
            require(result.consumed == 0 && result.status == outcome.status);
            continue;
        }
        if (result.status == ParseStatus::NeedMore) require(result.consumed == chunk.size());
        outcome.headerSize += result.consumed;
        outcome.status = result.status;
        outcome.error = result.error;
    }
    require(outcome.headerSize <= maxResponseHeaderSize);
    require((outcome.status == ParseStatus::Failed) == (outcome.error != ProtocolError::None));
    outcome.statusCode = parser.statusCode();
    outcome.headerComplete = parser.headerComplete();
    if (const auto value = parser.fieldValue("Sec-WebSocket-Protocol", 0)) {
        require(outcome.headerComplete);
        outcome.selected = std::string(*value);
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t chunkSize = (data[0] & chunkBits) + 1;
    const bool offer = (data[0] & offerBit) != 0;
    const std::span<const std::uint8_t> response(data + 1, size - 1);
    require(parse(response, response.size() + 1, offer) == parse(response, chunkSize, offer));
    return 0;
}
