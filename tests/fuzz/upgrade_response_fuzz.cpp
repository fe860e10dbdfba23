// Fuzzes the upgrade response parser. The first byte chooses a chunk size (its low 5 bits) and
// whether subprotocols were offered (bit 5); the rest is what the server sent. Fed whole or in
// chunks, the parser must reach the same verdict and hand back the same frame bytes after the
// header block, never take more than the bound, and find the same header values.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/head_parser_fuzzing.h"
#include "transport/protocol/upgrade_response.h"

namespace {

using namespace wsbridge::protocol;
using fuzzing::require;

struct Outcome {
    fuzzing::HeadOutcome head;
    int statusCode = 0;
    bool headerComplete = false;
    std::optional<std::string> selected;  // the first Sec-WebSocket-Protocol, once complete
    bool operator==(const Outcome&) const = default;
};

// The client key of RFC 6455 1.3, so the sample accept value in the seed corpus is the right one.
constexpr std::string_view clientKey = "dGhlIHNhbXBsZSBub25jZQ==";

constexpr std::uint8_t offerBit = 0x20;  // above the bits that choose the chunk size

Outcome parse(std::span<const std::uint8_t> input, std::size_t chunkSize, bool offer) {
    UpgradeResponseParser parser(clientKey, offer ? std::vector<std::string>{"chat", "superchat"}
                                                  : std::vector<std::string>{});
    Outcome outcome{fuzzing::feedInChunks(parser, input, chunkSize), parser.statusCode(),
                    parser.headerComplete(), std::nullopt};
    require(outcome.head.taken <= maxResponseHeaderSize);
    if (const auto value = parser.fieldValue("Sec-WebSocket-Protocol", 0)) {
        require(outcome.headerComplete);
        outcome.selected = std::string(*value);
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool offer = size > 0 && (data[0] & offerBit) != 0;
    return fuzzing::compareWholeAndChunked(
        data, size, [offer](std::span<const std::uint8_t> input, std::size_t chunkSize) {
            return parse(input, chunkSize, offer);
        });
}
