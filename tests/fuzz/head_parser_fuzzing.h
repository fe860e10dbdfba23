// What the fuzz targets of the response head parsers (the upgrade response's, a proxy's answer's)
// share: feeding a parser in chunks while checking the rules of every feed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "transport/protocol/response_head.h"

namespace fuzzing {

inline void require(bool condition) {
    if (!condition) std::abort();
}

struct HeadOutcome {
    wsbridge::protocol::ParseStatus status = wsbridge::protocol::ParseStatus::NeedMore;
    wsbridge::protocol::ProtocolError error = wsbridge::protocol::ProtocolError::None;
    std::size_t taken = 0;  // bytes the parser took in all
    bool operator==(const HeadOutcome&) const = default;
};

// Feeds `input` in chunks of `chunkSize`: a NeedMore takes its whole chunk, no feed takes more
// than it was given, a final result stays final and takes nothing more, and only Failed carries
// an error.
template <typename Parser>
HeadOutcome feedInChunks(Parser& parser, std::span<const std::uint8_t> input,
                         std::size_t chunkSize) {
    using wsbridge::protocol::ParseStatus;
    HeadOutcome outcome;
    for (std::size_t at = 0; at < input.size(); at += chunkSize) {
        const auto chunk = input.subspan(at, std::min(chunkSize, input.size() - at));
        const wsbridge::protocol::ParseResult result = parser.feed(chunk);
        require(result.consumed <= chunk.size());
        if (outcome.status != ParseStatus::NeedMore) {
            require(result.consumed == 0 && result.status == outcome.status);
            continue;
        }
        if (result.status == ParseStatus::NeedMore) require(result.consumed == chunk.size());
        outcome.taken += result.consumed;
        outcome.status = result.status;
        outcome.error = result.error;
    }
    require((outcome.status == ParseStatus::Failed) ==
            (outcome.error != wsbridge::protocol::ProtocolError::None));
    return outcome;
}

// The whole of a target's run: the first byte of the fuzzer's input chooses a chunk size, the
// rest is what the peer sent, and parse(input, chunkSize) must give the same outcome fed whole
// and fed in those chunks.
template <typename Parse>
int compareWholeAndChunked(const std::uint8_t* data, std::size_t size, Parse parse) {
    if (size < 1) return 0;
    const std::size_t chunkSize = data[0] % 32 + 1;
    const std::span<const std::uint8_t> received(data + 1, size - 1);
    require(parse(received, received.size() + 1) == parse(received, chunkSize));
    return 0;
}

}  // namespace fuzzing
