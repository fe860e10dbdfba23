// Random valid frame streams must decode to the same events however they are cut: whole, split
// in two at every point, one byte at a time, in random chunks, and with small piece limits.
#include <gtest/gtest.h>

#include <random>

#include "tests/transport/protocol/protocol_test_support.h"

namespace wsbridge::protocol::testing {
namespace {

using Events = std::vector<Decoded>;

struct Scenario {
    Bytes stream;
    Events expected;
};

class StreamGenerator {
  public:
    explicit StreamGenerator(std::uint32_t seed) : random_(seed) {}

    // A few messages, fragmented at random, with control frames between the fragments and,
    // sometimes, a close at the end. `maxPayload` bounds each message.
    Scenario generate(std::size_t maxPayload) {
        Scenario scenario;
        const int messages = between(1, 6);
        for (int i = 0; i < messages; ++i) addMessage(scenario, maxPayload);
        if (between(0, 2) == 0) addClose(scenario);
        return scenario;
    }

  private:
    int between(int low, int high) { return std::uniform_int_distribution(low, high)(random_); }

    std::string utf8Text(std::size_t size) {
        static const char* const pieces[] = {"a",
                                             "Z",
                                             " ",
                                             "\xC3\xA9",
                                             "\xDF\xBF",
                                             "\xE2\x82\xAC",
                                             "\xEF\xBF\xBF",
                                             "\xF0\x9F\x98\x80",
                                             "\xF4\x8F\xBF\xBF"};
        std::string text;
        while (text.size() < size) text += pieces[between(0, std::size(pieces) - 1)];
        return text;
    }

    std::string binaryBytes(std::size_t size) {
        std::string bytes(size, '\0');
        for (char& byte : bytes) byte = static_cast<char>(between(0, 255));
        return bytes;
    }

    void maybeAddControl(Scenario& scenario) {
        if (between(0, 3) != 0) return;
        const std::string payload = binaryBytes(between(0, 2) == 0 ? 125 : between(0, 10));
        const bool isPing = between(0, 1) == 0;
        scenario.stream = concat(
            {scenario.stream, serverFrame(isPing ? pingFrame : pongFrame, bytesOf(payload))});
        scenario.expected.push_back(isPing ? ping(payload) : pong(payload));
    }

    void addMessage(Scenario& scenario, std::size_t maxPayload) {
        const bool isText = between(0, 1) == 0;
        const auto size = static_cast<std::size_t>(between(0, static_cast<int>(maxPayload)));
        const std::string payload = isText ? utf8Text(size) : binaryBytes(size);
        // Cut points anywhere, mid code point included; empty fragments allowed.
        std::vector<std::size_t> cuts{0, payload.size()};
        for (int i = between(0, 3); i > 0; --i) cuts.push_back(between(0, payload.size()));
        std::sort(cuts.begin(), cuts.end());
        for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
            const bool first = i == 0;
            const bool last = i + 2 == cuts.size();
            const std::uint8_t opcode = first ? (isText ? 0x1 : 0x2) : 0x0;
            const Bytes fragment = bytesOf(payload.substr(cuts[i], cuts[i + 1] - cuts[i]));
            scenario.stream =
                concat({scenario.stream, serverFrame(opcode | (last ? 0x80 : 0x00), fragment)});
            if (!last) maybeAddControl(scenario);
        }
        scenario.expected.push_back(isText ? text(payload) : binary(payload));
        maybeAddControl(scenario);
    }

    void addClose(Scenario& scenario) {
        const std::uint16_t code = between(0, 1) == 0 ? 1000 : 4321;
        const std::string reason = utf8Text(between(0, 40));  // at most 43 bytes
        const Bytes payload =
            concat({{static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)},
                    bytesOf(reason)});
        scenario.stream = concat({scenario.stream, serverFrame(closeFrame, payload)});
        scenario.expected.push_back(closed(code, reason));
    }

    std::mt19937 random_;
};

TEST(FrameDecoderProperty, SmallStreamsSplitAtEveryPoint) {
    StreamGenerator generator(1);
    for (int round = 0; round < 40; ++round) {
        const Scenario scenario = generator.generate(120);
        ASSERT_EQ(decodeWhole(scenario.stream), scenario.expected) << "round " << round;
        for (std::size_t cut = 1; cut < scenario.stream.size(); ++cut) {
            bool firstChunk = true;
            const auto chunks = [&] {
                const std::size_t size = firstChunk ? cut : scenario.stream.size();
                firstChunk = false;
                return size;
            };
            ASSERT_EQ(decodeStream(scenario.stream, chunks), scenario.expected)
                << "round " << round << ", cut at " << cut;
        }
        ASSERT_EQ(decodeBytewise(scenario.stream), scenario.expected) << "round " << round;
    }
}

TEST(FrameDecoderProperty, LargerStreamsInRandomChunksAndSmallPieces) {
    StreamGenerator generator(2);
    std::mt19937 random(3);
    for (int round = 0; round < 60; ++round) {
        const Scenario scenario = generator.generate(round % 10 == 0 ? 70'000 : 3000);
        for (const std::size_t maxChunk : {3, 100, 5000}) {
            std::uniform_int_distribution<std::size_t> chunk(1, maxChunk);
            ASSERT_EQ(decodeStream(scenario.stream, [&] { return chunk(random); }),
                      scenario.expected)
                << "round " << round << ", chunks up to " << maxChunk;
        }
        for (const std::size_t pieceLimit : {1, 7, 4096}) {
            ASSERT_EQ(decodeWhole(scenario.stream, pieceLimit), scenario.expected)
                << "round " << round << ", pieces of " << pieceLimit;
        }
    }
}

}  // namespace
}  // namespace wsbridge::protocol::testing
