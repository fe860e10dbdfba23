// Fuzzes the upgrade response parser. The first byte chooses a chunk size; the rest is what the
// server sent. Fed whole or in chunks, the parser must reach the same verdict and hand back the
// same frame bytes after the header block, and never take more than the bound.
#include <cstdint>
#include <span>
#include <string_view>

#include "tests/fuzz/head_parser_fuzzing.h"
#include "transport/protocol/upgrade_response.h"

namespace {

using namespace wsbridge::protocol;
using fuzzing::require;

struct Outcome {
    fuzzing::HeadOutcome head;
    int statusCode = 0;
    bool headerComplete = false;
    bool operator==(const Outcome&) const = default;
};

// The client key of RFC 6455 1.3, so the sample accept value in the seed corpus is the right one.
constexpr std::string_view clientKey = "dGhlIHNhbXBsZSBub25jZQ==";

Outcome parse(std::span<const std::uint8_t> input, std::size_t chunkSize) {
    UpgradeResponseParser parser(clientKey);
    const Outcome outcome{fuzzing::feedInChunks(parser, input, chunkSize), parser.statusCode(),
                          parser.headerComplete()};
    require(outcome.head.taken <= maxResponseHeaderSize);
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzzing::compareWholeAndChunked(data, size, parse);
}
