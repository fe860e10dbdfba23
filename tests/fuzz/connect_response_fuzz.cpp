// Fuzzes the parser of a proxy's answer to CONNECT. The first byte chooses a chunk size; the
// rest is what the proxy sent. Fed whole or in chunks, the parser must reach the same verdict,
// take the same bytes as the answer (the rest belongs to the tunnel), never take more than its
// heads' bound, and open the tunnel exactly when the final status is 2xx.
#include <cstdint>
#include <span>

#include "tests/fuzz/head_parser_fuzzing.h"
#include "transport/protocol/connect_response.h"

namespace {

using namespace wsbridge::protocol;
using fuzzing::require;

struct Outcome {
    fuzzing::HeadOutcome head;
    int statusCode = 0;
    bool operator==(const Outcome&) const = default;
};

Outcome parse(std::span<const std::uint8_t> input, std::size_t chunkSize) {
    ConnectResponseParser parser;
    const Outcome outcome{fuzzing::feedInChunks(parser, input, chunkSize), parser.statusCode()};
    constexpr std::size_t maxHeads = maxInterimResponses + 1;
    require(outcome.head.taken <= maxHeads * maxResponseHeaderSize);
    const bool successful = outcome.statusCode >= 200 && outcome.statusCode < 300;
    require((outcome.head.status == ParseStatus::Done) == successful);
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzzing::compareWholeAndChunked(data, size, parse);
}
