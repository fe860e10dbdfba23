// Fuzzes the connection's state machine: the input is a script of what the server sends, what the
// caller sends and closes, how much of the output is written, and how the clock moves. Whatever
// the script, what the connection writes must be a valid client stream (masked frames, never
// interleaved, messages in sequence, nothing after our close), what it reports must keep the
// piece rules, and its state may only move forward.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "tests/peers/peer_frames.h"
#include "tests/transport/protocol/fixed_random_sources.h"
#include "transport/protocol/client_connection.h"
#include "transport/protocol/utf8_validator.h"

namespace {

using namespace wsbridge::protocol;
using namespace std::chrono_literals;

void require(bool condition) {
    if (!condition) std::abort();
}

// Draws script values from the input; zeros once it is used up.
class Script {
  public:
    explicit Script(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool done() const { return bytes_.empty(); }
    std::uint8_t byte() {
        if (bytes_.empty()) return 0;
        const std::uint8_t value = bytes_.front();
        bytes_ = bytes_.subspan(1);
        return value;
    }
    std::span<const std::uint8_t> take(std::size_t count) {
        const std::span<const std::uint8_t> taken = bytes_.first(std::min(count, bytes_.size()));
        bytes_ = bytes_.subspan(taken.size());
        return taken;
    }

  private:
    std::span<const std::uint8_t> bytes_;
};

// Checks our frames as a server would read them.
class ClientStreamChecker {
  public:
    void take(std::span<const std::uint8_t> bytes) {
        reader_.feed(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        while (const auto frame = reader_.next()) check(*frame);
    }
    bool sentClose() const { return closeSent_; }
    bool betweenFrames() const { return reader_.pending() == 0; }

  private:
    void check(const peers::ClientFrame& frame) {
        require(frame.masked);  // RFC 6455 5.3
        require(!closeSent_);   // RFC 6455 5.5.1: nothing after our close
        if (frame.opcode >= peers::opClose) {
            require(frame.fin && frame.payload.size() <= maxControlPayload);  // RFC 6455 5.5
            closeSent_ = frame.opcode == peers::opClose;
            return;
        }
        // RFC 6455 5.4: a continuation only inside a message, a new message only outside one.
        require((frame.opcode == peers::opContinuation) == messageOpen_);
        messageOpen_ = !frame.fin;
    }

    peers::ClientFrameReader reader_;
    bool messageOpen_ = false;
    bool closeSent_ = false;
};

void receive(ClientConnection& connection, Script& script, std::string& message) {
    const std::size_t pieceLimit = script.byte() % 32 + 1;
    std::span<const std::uint8_t> input = script.take(script.byte());
    const bool finishedBefore =
        connection.closeReceived() || connection.state() == ConnectionState::Closed;
    while (!input.empty()) {
        const ConnectionEvent event = connection.receive(input, pieceLimit);
        require(event.consumed <= input.size());
        input = input.subspan(event.consumed);
        if (finishedBefore) require(event.kind == ConnectionEventKind::NeedMore);
        switch (event.kind) {
            case ConnectionEventKind::NeedMore:
                require(input.empty());
                break;
            case ConnectionEventKind::Data:
                require(event.payload.size() <= pieceLimit);
                message.append(event.payload.begin(), event.payload.end());
                if (endsMessage(event.pieceType)) {
                    require(!isText(event.pieceType) ||
                            isValidUtf8({reinterpret_cast<const std::uint8_t*>(message.data()),
                                         message.size()}));
                    message.clear();
                }
                break;
            case ConnectionEventKind::PingAnswered:
                require(connection.state() == ConnectionState::Open);
                break;
            case ConnectionEventKind::ServerClosed:
                require(connection.closeReceived() && isValidUtf8(event.payload));
                break;
            case ConnectionEventKind::Failed:
                require(connection.state() == ConnectionState::Closed);
                require(event.error != ProtocolError::None);
                break;
        }
    }
}

PieceType pieceTypeOf(std::uint8_t value) {
    constexpr PieceType types[] = {PieceType::TextFragment, PieceType::TextMessage,
                                   PieceType::BinaryFragment, PieceType::BinaryMessage};
    return types[value % 4];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr int stepKinds = 7;
    constexpr std::uint16_t closeCodes[] = {1000, 1001, 1005, 1006, 3000, 999};
    Script script({data, size});
    wsbridge::protocol::testing::CountingRandomSource random;  // any keys do for these rules
    TimePoint now{};
    ClientConnection connection(random, 30s, now);
    ClientStreamChecker written;
    std::string message;
    for (int steps = 0; steps < 10'000 && !script.done(); ++steps) {
        const ConnectionState before = connection.state();
        switch (script.byte() % stepKinds) {
            case 0:
                receive(connection, script, message);
                break;
            case 1: {
                const PieceType type = pieceTypeOf(script.byte());
                const ProtocolError result = connection.send(type, script.take(script.byte()));
                if (written.sentClose()) require(result == ProtocolError::SendAfterClose);
                break;
            }
            case 2: {
                const std::uint16_t code = closeCodes[script.byte() % std::size(closeCodes)];
                connection.close(code, script.take(script.byte() % 130));
                break;
            }
            case 3: {
                const auto output = connection.output();
                const std::size_t count = std::min<std::size_t>(output.size(), script.byte());
                written.take(output.first(count));
                connection.outputWritten(count);
                connection.noteTraffic(now);
                // A frame cut short is always known as one: the stream can carry nothing else.
                require(written.betweenFrames() || connection.midFrame());
                break;
            }
            case 4:
                require(connection.withdrawData() || connection.midFrame());
                break;
            case 5:
                now += std::chrono::seconds(script.byte());
                if (connection.queueKeepaliveIfDue(now)) {
                    require(connection.state() == ConnectionState::Open);
                }
                break;
            case 6:
                connection.noteTraffic(now);
                break;
        }
        require(connection.state() >= before);  // Open, Closing, Closed: only forward
    }
    // Whatever is left goes out whole and still reads as a valid stream.
    for (int writes = 0; writes < 1'000 && !connection.output().empty(); ++writes) {
        const auto output = connection.output();
        written.take(output);
        connection.outputWritten(output.size());
    }
    require(connection.output().empty() && written.betweenFrames());
    return 0;
}
