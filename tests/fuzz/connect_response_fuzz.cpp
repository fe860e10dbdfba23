// Fuzzes the parser of a proxy's answer to CONNECT. The first byte chooses a chunk size; the
// rest is what the proxy sent. Fed whole or in chunks, the parser must reach the same verdict,
// take the same bytes as the answer (the rest belongs to the tunnel), never take more than its
// heads' bound, and open the tunnel exactly when the final status is 2xx.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "transport/protocol/connect_response.h"

namespace {

using namespace wsbridge::protocol;

void require(bool condition) {
    if (!condition) std::abort();
}

struct Outcome {
    ParseStatus status = ParseStatus::NeedMore;
    ProtocolError error = ProtocolError::None;
    std::size_t answerSize = 0;  // bytes taken by the parser in all
    int statusCode = 0;
    bool operator==(const Outcome&) const = default;
};

Outcome parse(std::span<const std::uint8_t> input, std::size_t chunkSize) {
    ConnectResponseParser parser;
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
        outcome.answerSize += result.consumed;
        outcome.status = result.status;
        outcome.error = result.error;
    }
    constexpr std::size_t maxHeads = maxInterimResponses + 1;
    require(outcome.answerSize <= maxHeads * maxResponseHeaderSize);
    require((outcome.status == ParseStatus::Failed) == (outcome.error != ProtocolError::None));
    outcome.statusCode = parser.statusCode();
    const bool successful = outcome.statusCode >= 200 && outcome.statusCode < 300;
    require((outcome.status == ParseStatus::Done) == successful);
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t chunkSize = data[0] % 32 + 1;
    const std::span<const std::uint8_t> answer(data + 1, size - 1);
    require(parse(answer, answer.size() + 1) == parse(answer, chunkSize));
    return 0;
}
