// Fuzzes the frame decoder. The first two bytes choose a chunk size and a piece limit; the rest
// is the stream. The stream is decoded twice, whole with the default limit and in chunks with
// the chosen limit, and both must mean the same: same messages, control events and error. Along
// the way every piece must keep the rules the transport relies on.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "transport/protocol/frame_decoder.h"
#include "transport/protocol/utf8_validator.h"

namespace {

using namespace wsbridge::protocol;

void require(bool condition) {
    if (!condition) std::abort();
}

struct Outcome {
    std::vector<std::string> events;  // one line per event, pieces joined into messages
    bool operator==(const Outcome&) const = default;
};

Outcome decode(std::span<const std::uint8_t> stream, std::size_t chunkSize,
               std::size_t pieceLimit) {
    Outcome outcome;
    FrameDecoder decoder;
    std::string message;
    int openKind = -1;
    for (std::size_t at = 0; at < stream.size(); at += chunkSize) {
        std::span<const std::uint8_t> input =
            stream.subspan(at, std::min(chunkSize, stream.size() - at));
        for (;;) {
            const FrameEvent event = decoder.next(input, pieceLimit);
            require(event.consumed <= input.size());
            if (event.kind == FrameEventKind::Data) {
                require(event.payload.size() <= pieceLimit);
                require(event.payload.empty() || (event.payload.data() >= input.data() &&
                                                  event.payload.data() + event.payload.size() <=
                                                      input.data() + event.consumed));
                const int kind = isText(event.pieceType) ? 1 : 0;
                require(openKind < 0 || openKind == kind);
                message.append(event.payload.begin(), event.payload.end());
                openKind = kind;
                if (endsMessage(event.pieceType)) {
                    const bool text = kind == 1;
                    require(!text ||
                            isValidUtf8({reinterpret_cast<const std::uint8_t*>(message.data()),
                                         message.size()}));
                    outcome.events.push_back((text ? "T:" : "B:") + message);
                    message.clear();
                    openKind = -1;
                }
            } else if (event.kind == FrameEventKind::Ping || event.kind == FrameEventKind::Pong) {
                require(event.payload.size() <= maxControlPayload);
                outcome.events.push_back((event.kind == FrameEventKind::Ping ? "P:" : "O:") +
                                         std::string(event.payload.begin(), event.payload.end()));
            } else if (event.kind == FrameEventKind::Close) {
                require(isValidUtf8(event.payload));
                outcome.events.push_back("C:" + std::to_string(event.closeCode) + ":" +
                                         std::string(event.payload.begin(), event.payload.end()));
                require(decoder.finished());
                return outcome;
            } else if (event.kind == FrameEventKind::Error) {
                require(closeCodeFor(event.error) != 0);
                outcome.events.push_back("E:" + std::to_string(static_cast<int>(event.error)));
                require(decoder.finished());
                return outcome;
            } else {
                require(event.consumed == input.size());
                break;
            }
            input = input.subspan(event.consumed);
        }
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t settingsSize = 2;
    constexpr std::size_t wideLimitFlag = 0x80;
    if (size < settingsSize) return 0;
    const std::size_t chunkSize = data[0] % 64 + 1;
    const std::size_t pieceLimit = (data[1] & wideLimitFlag) ? defaultPieceLimit : data[1] % 16 + 1;
    const std::span<const std::uint8_t> stream(data + settingsSize, size - settingsSize);
    require(decode(stream, stream.size() + 1, defaultPieceLimit) ==
            decode(stream, chunkSize, pieceLimit));
    return 0;
}
