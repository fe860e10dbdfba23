// The connection's rules, without a socket: what the server's frames mean in each state, what we
// write in answer and in what order, when sending must stop, and when a keepalive is due. Every
// scenario runs with the server's bytes whole, one byte at a time and cut at random points.
#include "transport/protocol/client_connection.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <map>
#include <random>

#include "tests/transport/protocol/protocol_test_support.h"

namespace wsbridge::protocol::testing {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<Decoded>;

constexpr Duration keepaliveInterval = 30s;
const TimePoint start{};

// One step of a scenario: bytes from the server, or a send or a close by the caller, with the
// result the call must give. After each step every byte of output is written.
struct Step {
    enum class Kind { FromServer, Send, Close };
    Kind kind;
    Bytes bytes;  // the server's bytes, the payload or the close reason
    PieceType pieceType = PieceType::TextMessage;
    std::uint16_t code = 0;
    ProtocolError result = ProtocolError::None;
};

Step fromServer(std::initializer_list<Bytes> frames) {
    return {Step::Kind::FromServer, concat(frames)};
}
Step sending(PieceType type, std::string_view payload, ProtocolError result = ProtocolError::None) {
    return {Step::Kind::Send, bytesOf(payload), type, 0, result};
}
Step closing(std::uint16_t code, std::string_view reason = {},
             ProtocolError result = ProtocolError::None) {
    return {Step::Kind::Close, bytesOf(reason), PieceType::TextMessage, code, result};
}

Bytes closeBytes(std::uint16_t code, std::string_view reason = {}) {
    return bytesOf(peers::closeFrame(code, reason));
}
Bytes frameOf(std::uint8_t firstByte, std::string_view payload) {
    return serverFrame(firstByte, bytesOf(payload));
}

// Our frames as the server reads them: "text:hi", "text+:he" for a frame that is not final,
// "cont:llo", "pong:", "close:1000 bye".
std::string describeFrame(const peers::ClientFrame& frame) {
    static const std::map<int, std::string> names{
        {peers::opContinuation, "cont"}, {peers::opText, "text"}, {peers::opBinary, "binary"},
        {peers::opClose, "close"},       {peers::opPing, "ping"}, {peers::opPong, "pong"}};
    std::string text = names.at(frame.opcode) + (frame.fin ? ":" : "+:");
    if (!frame.masked) text += "unmasked ";
    if (frame.opcode == peers::opClose && frame.payload.size() >= closeCodeSize) {
        const auto code = readBigEndian(reinterpret_cast<const std::uint8_t*>(frame.payload.data()),
                                        closeCodeSize);
        text += std::to_string(code);
        if (frame.payload.size() > closeCodeSize) text += " " + frame.payload.substr(closeCodeSize);
        return text;
    }
    return text + frame.payload;
}

std::vector<std::string> framesWritten(const std::string& wire) {
    peers::ClientFrameReader reader;
    reader.feed(wire);
    std::vector<std::string> frames;
    while (const auto frame = reader.next()) frames.push_back(describeFrame(*frame));
    EXPECT_EQ(reader.pending(), 0u) << "a frame was cut short";
    return frames;
}

// Writes every byte the connection has to write, a few at a time.
void writeAll(ClientConnection& connection, std::string& wire) {
    constexpr std::size_t writeSize = 7;  // so that frames are written in several pieces
    for (int writes = 0; writes < 100'000 && !connection.output().empty(); ++writes) {
        const auto bytes = connection.output();
        const std::size_t count = std::min(bytes.size(), writeSize);
        wire.append(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
        connection.outputWritten(count);
    }
    EXPECT_TRUE(connection.output().empty());
    EXPECT_FALSE(connection.midFrame());
}

struct Outcome {
    Events events;  // pieces joined into messages; ping(""): a ping answered
    std::vector<std::string> written;
    ConnectionState state = ConnectionState::Open;
    bool closeExpected = false;

    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& outcome, std::ostream* out) {
    *out << ::testing::PrintToString(outcome.events) << " written "
         << ::testing::PrintToString(outcome.written) << " state "
         << static_cast<int>(outcome.state) << (outcome.closeExpected ? " close expected" : "");
}

// Feeds the server's bytes in chunks of the sizes `nextChunk` picks, joining message pieces.
void feed(ClientConnection& connection, const Bytes& stream,
          const std::function<std::size_t()>& nextChunk, Outcome& outcome, std::string& message) {
    for (std::size_t position = 0; position < stream.size();) {
        const std::size_t chunk =
            std::min(std::max<std::size_t>(nextChunk(), 1), stream.size() - position);
        std::span<const std::uint8_t> input(stream.data() + position, chunk);
        position += chunk;
        for (int calls = 0; !input.empty(); ++calls) {
            ASSERT_LT(calls, 10'000) << "no progress";
            const ConnectionEvent event = connection.receive(input);
            ASSERT_LE(event.consumed, input.size());
            input = input.subspan(event.consumed);
            switch (event.kind) {
                case ConnectionEventKind::NeedMore:
                    EXPECT_TRUE(input.empty());
                    break;
                case ConnectionEventKind::Data:
                    message += textOf(event.payload);
                    if (endsMessage(event.pieceType)) {
                        outcome.events.push_back(isText(event.pieceType) ? text(message)
                                                                         : binary(message));
                        message.clear();
                    }
                    break;
                case ConnectionEventKind::PingAnswered:
                    outcome.events.push_back(ping(""));
                    break;
                case ConnectionEventKind::ServerClosed:
                    outcome.events.push_back(closed(event.closeCode, textOf(event.payload)));
                    break;
                case ConnectionEventKind::Failed:
                    outcome.events.push_back(failed(event.error));
                    break;
            }
        }
    }
}

Outcome run(const std::vector<Step>& steps, const std::function<std::size_t()>& nextChunk) {
    CountingRandomSource random;
    ClientConnection connection(random, keepaliveInterval, start);
    Outcome outcome;
    std::string message;
    std::string wire;
    for (const Step& step : steps) {
        switch (step.kind) {
            case Step::Kind::FromServer:
                feed(connection, step.bytes, nextChunk, outcome, message);
                break;
            case Step::Kind::Send:
                EXPECT_EQ(connection.send(step.pieceType, step.bytes), step.result);
                break;
            case Step::Kind::Close:
                EXPECT_EQ(connection.close(step.code, step.bytes), step.result);
                break;
        }
        writeAll(connection, wire);
    }
    outcome.written = framesWritten(wire);
    outcome.state = connection.state();
    outcome.closeExpected = connection.closeExpected();
    return outcome;
}

struct Scenario {
    const char* name;
    std::vector<Step> steps;
    Outcome expected;
};

using State = ConnectionState;
using E = ProtocolError;

std::vector<Scenario> scenarios() {
    const Bytes hello = frameOf(finalText, "hello");
    const Bytes invalidUtf8 = {finalText, 0x03, 'o', 'k', 0xFF};
    const Bytes maskedFrame = {finalText, 0x81, 1, 2, 3, 4, 'a' ^ 1};
    return {
        {"a text and a binary message",
         {fromServer({hello, frameOf(finalBinary, "\x01\x02")})},
         {{text("hello"), binary("\x01\x02")}, {}, State::Open, false}},
        {"a ping mid-message is answered, the message stays whole",
         {fromServer({frameOf(firstText, "hel"), frameOf(pingFrame, "are you there"),
                      frameOf(lastContinuation, "lo")})},
         {{ping(""), text("hello")}, {"pong:are you there"}, State::Open, false}},
        {"a pong from the server needs no answer",
         {fromServer({frameOf(pongFrame, "x"), hello})},
         {{text("hello")}, {}, State::Open, false}},
        {"the server's close with a code and reason, then ours answers it",
         {fromServer({closeBytes(1001, "going away")}), closing(1000)},
         {{closed(1001, "going away")}, {"close:1000"}, State::Closed, false}},
        {"the server's close without a code",
         {fromServer({frameOf(closeFrame, "")})},
         {{closed(closeNoStatus)}, {}, State::Closing, false}},
        {"nothing after the server's close is read",
         {fromServer({hello, closeBytes(1000), hello, invalidUtf8})},
         {{text("hello"), closed(1000)}, {}, State::Closing, false}},
        {"a send after the server's close goes out until ours",
         {fromServer({closeBytes(1000)}), sending(PieceType::TextMessage, "last"), closing(1000),
          sending(PieceType::TextMessage, "later", E::SendAfterClose)},
         {{closed(1000)}, {"text:last", "close:1000"}, State::Closed, false}},
        {"our close, answered",
         {closing(1000, "bye"), fromServer({closeBytes(1000)})},
         {{closed(1000)}, {"close:1000 bye"}, State::Closed, false}},
        {"our close, unanswered: the server's close is still expected",
         {closing(1000)},
         {{}, {"close:1000"}, State::Closing, true}},
        {"after our close data is still read but pings are not answered",
         {closing(1000), fromServer({frameOf(pingFrame, "p"), hello})},
         {{text("hello")}, {"close:1000"}, State::Closing, true}},
        {"our close goes out once",
         {closing(1000, "first"), closing(1001, "second")},
         {{}, {"close:1000 first"}, State::Closing, true}},
        {"a close code that may not be sent is refused and queues nothing",
         {closing(1006, "", E::InvalidCloseCode), closing(1000)},
         {{}, {"close:1000"}, State::Closing, true}},
        {"a failure while open sends the error's close",
         {fromServer({hello, invalidUtf8})},
         {{text("hello"), failed(E::InvalidUtf8)}, {"close:1007"}, State::Closed, false}},
        {"a failure inside a message sends the error's close",
         {fromServer({frameOf(firstText, "a"), {0xC0, 0x00}})},
         {{failed(E::ReservedBitsSet)}, {"close:1002"}, State::Closed, false}},
        {"a failure while our close is unanswered sends no second close",
         {closing(1000), fromServer({maskedFrame})},
         {{failed(E::MaskedServerFrame)}, {"close:1000"}, State::Closed, false}},
        {"nothing after a failure is read",
         {fromServer({invalidUtf8, hello, frameOf(pingFrame, "p")})},
         {{failed(E::InvalidUtf8)}, {"close:1007"}, State::Closed, false}},
        {"sends are refused after our close",
         {sending(PieceType::TextMessage, "before"), closing(1000),
          sending(PieceType::TextMessage, "after", E::SendAfterClose),
          sending(PieceType::BinaryFragment, "after", E::SendAfterClose)},
         {{}, {"text:before", "close:1000"}, State::Closing, true}},
        {"sends are refused after a failure",
         {fromServer({maskedFrame}), sending(PieceType::TextMessage, "x", E::SendAfterClose)},
         {{failed(E::MaskedServerFrame)}, {"close:1002"}, State::Closed, false}},
        {"a message sent in fragments",
         {sending(PieceType::TextFragment, "he"), sending(PieceType::TextFragment, "l"),
          sending(PieceType::TextMessage, "lo"), sending(PieceType::BinaryMessage, "b")},
         {{}, {"text+:he", "cont+:l", "cont:lo", "binary:b"}, State::Open, false}},
        {"a fragment of another kind than the open message is refused",
         {sending(PieceType::BinaryFragment, "a"),
          sending(PieceType::TextMessage, "b", E::MessageTypeChanged),
          sending(PieceType::BinaryMessage, "c")},
         {{}, {"binary+:a", "cont:c"}, State::Open, false}},
    };
}

TEST(ClientConnectionScenarios, WholeByteByByteAndAtRandomSplits) {
    std::mt19937 random(11);
    for (const Scenario& scenario : scenarios()) {
        SCOPED_TRACE(scenario.name);
        EXPECT_EQ(run(scenario.steps, [] { return std::numeric_limits<std::size_t>::max(); }),
                  scenario.expected)
            << "whole";
        EXPECT_EQ(run(scenario.steps, [] { return std::size_t{1}; }), scenario.expected)
            << "one byte at a time";
        for (const std::size_t maxChunk : {2, 5, 17}) {
            std::uniform_int_distribution<std::size_t> chunk(1, maxChunk);
            EXPECT_EQ(run(scenario.steps, [&] { return chunk(random); }), scenario.expected)
                << "random chunks up to " << maxChunk;
        }
    }
}

// ---- The order of what goes out -------------------------------------------------------------

class ClientConnectionOutput : public ::testing::Test {
  protected:
    void receive(const Bytes& bytes) {
        for (std::span<const std::uint8_t> input(bytes); !input.empty();) {
            input = input.subspan(connection_.receive(input).consumed);
        }
    }
    // Writes `count` bytes of output (all of it by default) and returns them.
    std::string write(std::size_t count = SIZE_MAX) {
        std::string wire;
        while (wire.size() < count && !connection_.output().empty()) {
            const auto bytes = connection_.output();
            const std::size_t take = std::min(bytes.size(), count - wire.size());
            wire.append(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
            connection_.outputWritten(take);
        }
        return wire;
    }

    CountingRandomSource random_;
    ClientConnection connection_{random_, keepaliveInterval, start};
    const std::string payload_ = std::string(200, 'd');
};

TEST_F(ClientConnectionOutput, PongsGoAheadOfDataNotYetBegunButNeverIntoAFrame) {
    ASSERT_EQ(connection_.send(PieceType::TextMessage, bytesOf(payload_)), E::None);
    receive(frameOf(pingFrame, "first"));
    EXPECT_EQ(framesWritten(write()), (std::vector<std::string>{"pong:first", "text:" + payload_}));

    ASSERT_EQ(connection_.send(PieceType::TextMessage, bytesOf(payload_)), E::None);
    std::string wire = write(3);
    EXPECT_TRUE(connection_.midFrame());
    receive(frameOf(pingFrame, "second"));
    wire += write();
    EXPECT_EQ(framesWritten(wire), (std::vector<std::string>{"text:" + payload_, "pong:second"}));
    EXPECT_FALSE(connection_.midFrame());
}

TEST_F(ClientConnectionOutput, TheFailuresCloseFollowsTheDataQueuedBeforeIt) {
    ASSERT_EQ(connection_.send(PieceType::TextMessage, bytesOf("queued")), E::None);
    receive({finalText, 0x01, 0xFF});
    EXPECT_EQ(framesWritten(write()), (std::vector<std::string>{"text:queued", "close:1007"}));
}

TEST_F(ClientConnectionOutput, ASendNotYetBegunCanBeTakenBack) {
    ASSERT_EQ(connection_.send(PieceType::TextFragment, bytesOf("a")), E::None);
    EXPECT_EQ(connection_.send(PieceType::TextMessage, bytesOf("b")), E::SendPending);
    EXPECT_TRUE(connection_.withdrawData());
    EXPECT_TRUE(connection_.output().empty());
    // The fragment never went out, so no message is open: a binary message may follow.
    ASSERT_EQ(connection_.send(PieceType::BinaryMessage, bytesOf(payload_)), E::None);
    const std::string firstByte = write(1);
    EXPECT_FALSE(connection_.withdrawData()) << "a frame that has begun stays";
    EXPECT_TRUE(connection_.midFrame());
    EXPECT_EQ(framesWritten(firstByte + write()), (std::vector<std::string>{"binary:" + payload_}));
}

TEST_F(ClientConnectionOutput, TheServersCloseIsKeptWithItsReason) {
    EXPECT_EQ(connection_.serverCloseCode(), 0);
    receive(closeBytes(4000, "custom"));
    EXPECT_TRUE(connection_.closeReceived());
    EXPECT_EQ(connection_.serverCloseCode(), 4000);
    EXPECT_EQ(connection_.serverCloseReason(), "custom");
}

TEST_F(ClientConnectionOutput, LargePayloadsCanBeReadStraightIntoTheCallersBuffer) {
    const Bytes frame = frameOf(finalBinary, std::string(5000, 'q'));
    ConnectionEvent event = connection_.receive(std::span(frame).first(4));
    EXPECT_EQ(event.kind, ConnectionEventKind::NeedMore);
    ASSERT_EQ(connection_.dataPayloadPending(), 5000u);
    const Bytes callerBuffer(frame.begin() + 4, frame.end());
    event = connection_.receive(callerBuffer, callerBuffer.size());
    ASSERT_EQ(event.kind, ConnectionEventKind::Data);
    EXPECT_EQ(event.payload.data(), callerBuffer.data());
    EXPECT_EQ(event.pieceType, PieceType::BinaryMessage);
}

// ---- Keepalive, on a clock the test moves ---------------------------------------------------

TEST_F(ClientConnectionOutput, AnEmptyPongGoesOutAfterThirtySecondsOfSilence) {
    EXPECT_EQ(connection_.keepaliveDue(), start + 30s);
    EXPECT_FALSE(connection_.queueKeepaliveIfDue(start + 30s - 1ms)) << "nothing before 30 s";
    EXPECT_TRUE(connection_.output().empty());
    EXPECT_TRUE(connection_.queueKeepaliveIfDue(start + 30s));
    EXPECT_FALSE(connection_.queueKeepaliveIfDue(start + 30s)) << "one at a time";
    EXPECT_EQ(framesWritten(write()), std::vector<std::string>{"pong:"});
    connection_.noteTraffic(start + 31s);
    EXPECT_EQ(connection_.keepaliveDue(), start + 61s);
}

TEST_F(ClientConnectionOutput, TrafficEitherWayPutsTheKeepaliveOff) {
    connection_.noteTraffic(start + 20s);  // a read or a write
    EXPECT_FALSE(connection_.queueKeepaliveIfDue(start + 30s));
    EXPECT_EQ(connection_.keepaliveDue(), start + 50s);
    // A frame waiting to go out is traffic too: no pong is put before it.
    ASSERT_EQ(connection_.send(PieceType::TextMessage, bytesOf("x")), E::None);
    EXPECT_FALSE(connection_.queueKeepaliveIfDue(start + 50s));
    EXPECT_EQ(connection_.keepaliveDue(), start + 80s);
    EXPECT_EQ(framesWritten(write()), std::vector<std::string>{"text:x"});
}

TEST_F(ClientConnectionOutput, AClosingConnectionGetsNoKeepalive) {
    ASSERT_EQ(connection_.close(1000, {}), E::None);
    write();
    EXPECT_FALSE(connection_.queueKeepaliveIfDue(start + 1h));
    EXPECT_TRUE(connection_.output().empty());

    CountingRandomSource random;
    ClientConnection closedByServer(random, keepaliveInterval, start);
    const Bytes close = closeBytes(1000);
    closedByServer.receive(close);
    EXPECT_FALSE(closedByServer.queueKeepaliveIfDue(start + 1h));
}

}  // namespace
}  // namespace wsbridge::protocol::testing
