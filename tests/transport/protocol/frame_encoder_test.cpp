// Client frames: the RFC's masked example, the three length forms, a fresh key per frame, and
// masking that matches the byte-wise definition for every length and key position.
#include "transport/protocol/frame_encoder.h"

#include <gtest/gtest.h>

#include "tests/transport/protocol/protocol_test_support.h"
#include "transport/protocol/masking.h"

namespace wsbridge::protocol::testing {
namespace {

// Undoes the client's framing, as a server would: header fields, key and unmasked payload.
struct ClientFrame {
    std::uint8_t firstByte = 0;
    std::uint64_t length = 0;
    std::size_t headerSize = 0;
    MaskKey key{};
    Bytes payload;
};

ClientFrame readClientFrame(const Bytes& frame) {
    ClientFrame parsed;
    const auto read = peers::parseClientFrame(textOf(frame));
    if (!read) {
        ADD_FAILURE() << "not a whole frame";
        return parsed;
    }
    parsed.firstByte = frame.at(0);
    EXPECT_TRUE(read->masked) << "client frames are masked";
    parsed.headerSize = read->headerSize;
    parsed.length = read->payload.size();
    parsed.key = read->key;
    parsed.payload = bytesOf(read->payload);
    EXPECT_EQ(frame.size() - parsed.headerSize, parsed.length);
    return parsed;
}

TEST(FrameEncoder, RfcMaskedHello) {
    // RFC 6455 5.7: "A single-frame masked text message", key 37 fa 21 3d.
    CyclingRandomSource key({0x37, 0xfa, 0x21, 0x3d});
    ByteBuffer out;
    ASSERT_EQ(appendFrame(out, Opcode::Text, bytesOf("Hello"), key), ProtocolError::None);
    EXPECT_EQ(out, (Bytes{0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58}));
}

TEST(FrameEncoder, LengthsUseTheShortestForm) {
    struct Case {
        std::size_t length;
        std::size_t headerSize;
    };
    for (const Case item : {Case{0, 6}, Case{125, 6}, Case{126, 8}, Case{256, 8}, Case{65535, 8},
                            Case{65536, 14}, Case{70000, 14}}) {
        CountingRandomSource random;
        ByteBuffer out;
        const Bytes payload(item.length, 'z');
        ASSERT_EQ(appendFrame(out, Opcode::Binary, payload, random), ProtocolError::None);
        const ClientFrame frame = readClientFrame(out);
        EXPECT_EQ(frame.headerSize, item.headerSize) << item.length;
        EXPECT_EQ(frame.length, item.length);
        EXPECT_EQ(frame.firstByte, 0x82);
        EXPECT_EQ(frame.payload, payload);
    }
}

TEST(FrameEncoder, EveryFrameGetsAFreshKey) {
    CountingRandomSource random;
    ByteBuffer first;
    ByteBuffer second;
    ASSERT_EQ(appendFrame(first, Opcode::Text, bytesOf("same"), random), ProtocolError::None);
    ASSERT_EQ(appendFrame(second, Opcode::Text, bytesOf("same"), random), ProtocolError::None);
    EXPECT_NE(readClientFrame(first).key, readClientFrame(second).key);
    EXPECT_NE(first, second);
}

TEST(FrameEncoder, FailedRandomSourceSendsNothing) {
    FailingRandomSource broken;
    ByteBuffer out{1, 2, 3};
    EXPECT_EQ(appendFrame(out, Opcode::Text, bytesOf("x"), broken),
              ProtocolError::RandomSourceFailed);
    EXPECT_EQ(appendClose(out, 1000, "", broken), ProtocolError::RandomSourceFailed);
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
}

TEST(FrameEncoder, PongEchoesThePing) {
    CountingRandomSource random;
    ByteBuffer out;
    ASSERT_EQ(appendPong(out, bytesOf("are you there"), random), ProtocolError::None);
    const ClientFrame frame = readClientFrame(out);
    EXPECT_EQ(frame.firstByte, 0x8A);
    EXPECT_EQ(textOf(frame.payload), "are you there");
    EXPECT_EQ(appendPong(out, Bytes(126), random), ProtocolError::ControlPayloadTooLong);
}

TEST(FrameEncoder, CloseCarriesCodeAndReason) {
    CountingRandomSource random;
    ByteBuffer out;
    ASSERT_EQ(appendClose(out, 1000, "bye", random), ProtocolError::None);
    ClientFrame frame = readClientFrame(out);
    EXPECT_EQ(frame.firstByte, 0x88);
    EXPECT_EQ(frame.payload, (Bytes{0x03, 0xE8, 'b', 'y', 'e'}));

    out.clear();
    ASSERT_EQ(appendClose(out, closeNoStatus, "", random), ProtocolError::None);
    EXPECT_TRUE(readClientFrame(out).payload.empty());

    out.clear();
    EXPECT_EQ(appendClose(out, 1006, "", random), ProtocolError::InvalidCloseCode);
    EXPECT_EQ(appendClose(out, closeNoStatus, "why", random), ProtocolError::InvalidCloseCode);
    EXPECT_EQ(appendClose(out, 1000, std::string(124, 'r'), random),
              ProtocolError::ControlPayloadTooLong);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(appendClose(out, 4000, std::string(123, 'r'), random), ProtocolError::None);
}

TEST(FrameEncoder, FramesAppendToWhatIsThere) {
    CountingRandomSource random;
    ByteBuffer out;
    ASSERT_EQ(appendPong(out, bytesOf("p"), random), ProtocolError::None);
    const std::size_t pongSize = out.size();
    ASSERT_EQ(appendClose(out, 1000, "", random), ProtocolError::None);
    EXPECT_EQ(readClientFrame(Bytes(out.begin(), out.begin() + pongSize)).payload, bytesOf("p"));
    EXPECT_EQ(readClientFrame(Bytes(out.begin() + pongSize, out.end())).payload,
              (Bytes{0x03, 0xE8}));
}

TEST(Masking, MatchesTheBytewiseDefinitionAtAnyLengthOffsetAndAlignment) {
    const MaskKey key{0xA1, 0x5C, 0x07, 0xF0};
    Bytes source(300);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 7);
    std::size_t mismatches = 0;
    for (std::size_t start = 0; start < 8; ++start) {
        for (std::size_t size = 0; start + size <= source.size(); ++size) {
            for (std::size_t offset = 0; offset < 4; ++offset) {
                Bytes inPlace = source;
                applyMask(inPlace.data() + start, size, key, offset);
                Bytes copied(source.size(), 0);
                copyMasked(copied.data() + start, source.data() + start, size, key, offset);
                for (std::size_t i = 0; i < size; ++i) {
                    const std::uint8_t expected = source[start + i] ^ key[(offset + i) % 4];
                    mismatches += inPlace[start + i] != expected;
                    mismatches += copied[start + i] != expected;
                }
                // Nothing outside the range is touched.
                mismatches += !std::equal(source.begin(), source.begin() + start, inPlace.begin());
                mismatches += !std::equal(source.begin() + start + size, source.end(),
                                          inPlace.begin() + start + size);
                const auto untouched = [](std::uint8_t byte) { return byte == 0; };
                mismatches += !std::all_of(copied.begin(), copied.begin() + start, untouched);
                mismatches += !std::all_of(copied.begin() + start + size, copied.end(), untouched);
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(Masking, PiecesMaskedWithTheirOffsetEqualTheWhole) {
    const MaskKey key{1, 2, 3, 4};
    Bytes whole(1000, 0x55);
    Bytes pieces = whole;
    applyMask(whole.data(), whole.size(), key);
    std::size_t at = 0;
    for (const std::size_t size : {3, 61, 17, 500, 419}) {
        applyMask(pieces.data() + at, size, key, at);
        at += size;
    }
    EXPECT_EQ(pieces, whole);
}

}  // namespace
}  // namespace wsbridge::protocol::testing
