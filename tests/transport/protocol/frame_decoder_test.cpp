// The frame decoder against the RFC's examples, hostile frames and the piece rules the transport
// relies on. Every stream is decoded whole and one byte at a time.
#include "transport/protocol/frame_decoder.h"

#include <gtest/gtest.h>

#include "tests/transport/protocol/protocol_test_support.h"

namespace wsbridge::protocol::testing {
namespace {

using Events = std::vector<Decoded>;

void expectDecodes(const Bytes& stream, const Events& expected) {
    EXPECT_EQ(decodeWhole(stream), expected) << "whole";
    EXPECT_EQ(decodeBytewise(stream), expected) << "one byte at a time";
}

Bytes repeated(std::size_t size, char fill = 'x') {
    return Bytes(size, fill);
}

// RFC 6455 5.7.
TEST(FrameDecoderRfcExamples, SingleFrameUnmaskedText) {
    expectDecodes({0x81, 0x05, 0x48, 0x65, 0x6c, 0x6c, 0x6f}, {text("Hello")});
}

TEST(FrameDecoderRfcExamples, FragmentedUnmaskedText) {
    expectDecodes({0x01, 0x03, 0x48, 0x65, 0x6c, 0x80, 0x02, 0x6c, 0x6f}, {text("Hello")});
}

TEST(FrameDecoderRfcExamples, PingAndPong) {
    expectDecodes(
        {0x89, 0x05, 0x48, 0x65, 0x6c, 0x6c, 0x6f, 0x8a, 0x05, 0x48, 0x65, 0x6c, 0x6c, 0x6f},
        {ping("Hello"), pong("Hello")});
}

TEST(FrameDecoderRfcExamples, SixteenAndSixtyFourBitLengths) {
    // "256 bytes binary message in a single unmasked frame" and the 64 KiB one.
    Bytes header256{0x82, 0x7E, 0x01, 0x00};
    expectDecodes(concat({header256, repeated(256)}), {binary(std::string(256, 'x'))});
    Bytes header64k{0x82, 0x7F, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00};
    const Bytes stream = concat({header64k, repeated(65536)});
    EXPECT_EQ(decodeWhole(stream), Events{binary(std::string(65536, 'x'))});
}

TEST(FrameDecoderPieces, LargeMessageComesInPiecesOfAtMostTheLimit) {
    const Bytes stream = serverFrame(finalText, repeated(100'000, 'a'));
    FrameDecoder decoder;
    std::span<const std::uint8_t> input(stream);
    std::vector<std::pair<std::size_t, PieceType>> pieces;
    for (int calls = 0; calls < 10 && !input.empty(); ++calls) {
        const FrameEvent event = decoder.next(input, 65536);
        ASSERT_EQ(event.kind, FrameEventKind::Data);
        pieces.emplace_back(event.payload.size(), event.pieceType);
        input = input.subspan(event.consumed);
    }
    const std::vector<std::pair<std::size_t, PieceType>> expected{
        {65536, PieceType::TextFragment}, {100'000 - 65536, PieceType::TextMessage}};
    EXPECT_EQ(pieces, expected);
}

TEST(FrameDecoderPieces, DataIsReportedInPlaceWithoutCopying) {
    const Bytes stream = serverFrame(finalBinary, repeated(300));
    FrameDecoder decoder;
    const FrameEvent event = decoder.next(stream);
    ASSERT_EQ(event.kind, FrameEventKind::Data);
    EXPECT_EQ(event.payload.data(), stream.data() + 4);  // right after the 4-byte header
    EXPECT_EQ(event.consumed, stream.size());
}

TEST(FrameDecoderPieces, PayloadCanBeReadStraightIntoTheCallersBuffer) {
    // What the transport does for a large frame: after the header, ask how much payload is
    // pending and hand the decoder the caller's buffer filled with exactly that much.
    const Bytes payload = repeated(5000, 'q');
    const Bytes stream = serverFrame(finalText, payload);
    FrameDecoder decoder;
    EXPECT_EQ(decoder.dataPayloadPending(), 0u);
    FrameEvent event = decoder.next(std::span(stream).first(4));
    EXPECT_EQ(event.kind, FrameEventKind::NeedMore);
    ASSERT_EQ(decoder.dataPayloadPending(), 5000u);

    Bytes callerBuffer(4096);
    std::copy_n(stream.begin() + 4, callerBuffer.size(), callerBuffer.begin());
    event = decoder.next(callerBuffer, callerBuffer.size());
    ASSERT_EQ(event.kind, FrameEventKind::Data);
    EXPECT_EQ(event.payload.data(), callerBuffer.data());
    EXPECT_EQ(event.payload.size(), callerBuffer.size());
    EXPECT_EQ(event.pieceType, PieceType::TextFragment);
    EXPECT_EQ(decoder.dataPayloadPending(), 5000u - 4096u);
}

TEST(FrameDecoderPieces, EmptyMessagesEndWithAnEmptyPieceOfTheMessageType) {
    FrameDecoder decoder;
    const Bytes emptyText{finalText, 0x00};
    FrameEvent event = decoder.next(emptyText);
    EXPECT_EQ(event.kind, FrameEventKind::Data);
    EXPECT_EQ(event.pieceType, PieceType::TextMessage);
    EXPECT_EQ(event.payload.size(), 0u);
    EXPECT_EQ(event.consumed, 2u);

    // "ab" then an empty final continuation: the message ends with a 0-byte piece of type 2.
    const Bytes stream{firstText, 0x02, 'a', 'b', lastContinuation, 0x00};
    FrameDecoder split;
    event = split.next(stream);
    EXPECT_EQ(event.pieceType, PieceType::TextFragment);
    event = split.next(std::span(stream).subspan(event.consumed));
    EXPECT_EQ(event.kind, FrameEventKind::Data);
    EXPECT_EQ(event.pieceType, PieceType::TextMessage);
    EXPECT_EQ(event.payload.size(), 0u);

    expectDecodes(
        {finalBinary, 0x00, firstBinary, 0x00, moreContinuation, 0x00, lastContinuation, 0x00},
        {binary(""), binary("")});
}

TEST(FrameDecoderMessages, ControlFramesBetweenFragmentsLeaveTheMessageWhole) {
    const Bytes stream =
        concat({serverFrame(firstText, bytesOf("one ")), serverFrame(pingFrame, bytesOf("p")),
                serverFrame(moreContinuation, bytesOf("two ")), serverFrame(pongFrame, {}),
                serverFrame(lastContinuation, bytesOf("three")),
                serverFrame(finalBinary, bytesOf("next"))});
    expectDecodes(stream, {ping("p"), pong(""), text("one two three"), binary("next")});
}

TEST(FrameDecoderMessages, CodePointCutAcrossFramesIsJoined) {
    // U+20AC (E2 82 AC) split over three frames, with a ping in the middle.
    const Bytes stream{firstText,        0x01, 0xE2, pingFrame, 0x00, moreContinuation, 0x01, 0x82,
                       lastContinuation, 0x01, 0xAC};
    expectDecodes(stream, {ping(""), text("\xE2\x82\xAC")});
}

TEST(FrameDecoderClose, CodeAndReasonAreReported) {
    expectDecodes(serverFrame(closeFrame, {0x03, 0xE8, 'b', 'y', 'e'}), {closed(1000, "bye")});
    expectDecodes(serverFrame(closeFrame, {}), {closed(closeNoStatus)});
}

TEST(FrameDecoderClose, SendableCodesAreAccepted) {
    for (const std::uint16_t code : {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 1012,
                                     1013, 1014, 3000, 4000, 4999}) {
        const Bytes payload{static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
        EXPECT_EQ(decodeWhole(serverFrame(closeFrame, payload)), Events{closed(code)}) << code;
    }
}

TEST(FrameDecoderClose, NothingAfterTheCloseIsRead) {
    const Bytes stream =
        concat({serverFrame(closeFrame, {0x03, 0xE8}), serverFrame(finalText, bytesOf("late"))});
    FrameDecoder decoder;
    FrameEvent event = decoder.next(stream);
    ASSERT_EQ(event.kind, FrameEventKind::Close);
    EXPECT_EQ(event.consumed, 4u);
    EXPECT_TRUE(decoder.finished());
    // Later calls take their input, so a caller's loop cannot spin, and repeat the close.
    const std::span<const std::uint8_t> rest = std::span(stream).subspan(4);
    event = decoder.next(rest);
    EXPECT_EQ(event.kind, FrameEventKind::Close);
    EXPECT_EQ(event.closeCode, 1000);
    EXPECT_EQ(event.consumed, rest.size());
}

// Hostile frames: each must fail the connection with its error and the RFC's close code.
struct HostileCase {
    const char* name;
    Bytes stream;
    ProtocolError error;
    std::uint16_t closeCode;
};

Bytes closeWithCode(std::uint16_t code) {
    return serverFrame(closeFrame,
                       {static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)});
}

std::vector<HostileCase> hostileCases() {
    using E = ProtocolError;
    constexpr std::uint16_t protocol = 1002;
    constexpr std::uint16_t invalidData = 1007;
    return {
        {"rsv1", {0xC1, 0x00}, E::ReservedBitsSet, protocol},
        {"rsv2", {0xA2, 0x00}, E::ReservedBitsSet, protocol},
        {"rsv3 on ping", {0x99, 0x00}, E::ReservedBitsSet, protocol},
        {"masked text", {0x81, 0x81, 1, 2, 3, 4, 'a' ^ 1}, E::MaskedServerFrame, protocol},
        {"opcode 3", {0x83, 0x00}, E::UnknownOpcode, protocol},
        {"opcode 7", {0x87, 0x00}, E::UnknownOpcode, protocol},
        {"opcode B", {0x8B, 0x00}, E::UnknownOpcode, protocol},
        {"opcode F", {0x8F, 0x00}, E::UnknownOpcode, protocol},
        {"ping of 126 bytes", concat({{0x89, 0x7E, 0x00, 0x7E}, repeated(126)}),
         E::ControlFrameTooLong, protocol},
        {"close with 64-bit length",
         {0x88, 0x7F, 0, 0, 0, 0, 0, 0, 0, 2, 3, 0xE8},
         E::ControlFrameTooLong,
         protocol},
        {"fragmented ping", {0x09, 0x00}, E::FragmentedControlFrame, protocol},
        {"fragmented close", {0x08, 0x02, 0x03, 0xE8}, E::FragmentedControlFrame, protocol},
        {"continuation first", {0x80, 0x01, 'a'}, E::UnexpectedContinuation, protocol},
        {"continuation after a whole message",
         concat({serverFrame(finalText, bytesOf("a")), {0x80, 0x00}}), E::UnexpectedContinuation,
         protocol},
        {"text inside text",
         {0x01, 0x01, 'a', 0x81, 0x01, 'b'},
         E::DataFrameInsideMessage,
         protocol},
        {"binary inside text", {0x01, 0x01, 'a', 0x02, 0x00}, E::DataFrameInsideMessage, protocol},
        {"64-bit length top bit",
         {0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0},
         E::LengthTopBitSet,
         protocol},
        {"16-bit form for 5 bytes",
         {0x82, 0x7E, 0x00, 0x05, 1, 2, 3, 4, 5},
         E::NonMinimalLength,
         protocol},
        {"64-bit form for 65535 bytes",
         {0x82, 0x7F, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF},
         E::NonMinimalLength,
         protocol},
        {"text with FF", {0x81, 0x01, 0xFF}, E::InvalidUtf8, invalidData},
        {"text with surrogate", {0x81, 0x03, 0xED, 0xA0, 0x80}, E::InvalidUtf8, invalidData},
        {"text with overlong slash", {0x81, 0x02, 0xC0, 0xAF}, E::InvalidUtf8, invalidData},
        {"text above U+10FFFF", {0x81, 0x04, 0xF4, 0x90, 0x80, 0x80}, E::InvalidUtf8, invalidData},
        {"text ends inside a code point", {0x81, 0x02, 0xE2, 0x82}, E::InvalidUtf8, invalidData},
        {"text ends inside a code point over frames",
         {0x01, 0x01, 0xE2, 0x80, 0x01, 0x82, 0x80, 0x00},
         E::InvalidUtf8,
         invalidData},
        {"bad continuation in a later frame",
         {0x01, 0x01, 0xE2, 0x80, 0x01, 'a'},
         E::InvalidUtf8,
         invalidData},
        {"close payload of 1 byte", {0x88, 0x01, 0x03}, E::ClosePayloadTooShort, protocol},
        {"close code 0", closeWithCode(0), E::InvalidCloseCode, protocol},
        {"close code 999", closeWithCode(999), E::InvalidCloseCode, protocol},
        {"close code 1004", closeWithCode(1004), E::InvalidCloseCode, protocol},
        {"close code 1005", closeWithCode(1005), E::InvalidCloseCode, protocol},
        {"close code 1006", closeWithCode(1006), E::InvalidCloseCode, protocol},
        {"close code 1015", closeWithCode(1015), E::InvalidCloseCode, protocol},
        {"close code 1016", closeWithCode(1016), E::InvalidCloseCode, protocol},
        {"close code 2999", closeWithCode(2999), E::InvalidCloseCode, protocol},
        {"close code 5000", closeWithCode(5000), E::InvalidCloseCode, protocol},
        {"close code 65535", closeWithCode(65535), E::InvalidCloseCode, protocol},
        {"close reason not UTF-8",
         {0x88, 0x04, 0x03, 0xE8, 'a', 0xC3},
         E::InvalidCloseReason,
         invalidData},
    };
}

TEST(FrameDecoderHostile, EachFrameFailsWithItsErrorAndCloseCode) {
    for (const HostileCase& hostile : hostileCases()) {
        SCOPED_TRACE(hostile.name);
        const Events whole = decodeWhole(hostile.stream);
        ASSERT_FALSE(whole.empty());
        EXPECT_EQ(whole.back(), failed(hostile.error));
        EXPECT_EQ(decodeBytewise(hostile.stream), whole);
        EXPECT_EQ(closeCodeFor(hostile.error), hostile.closeCode);
    }
}

TEST(FrameDecoderHostile, InvalidTextIsNotHandedOut) {
    // The piece holding the bad byte must not reach the caller, even the valid bytes before it.
    FrameDecoder decoder;
    const Bytes stream{0x81, 0x03, 'o', 'k', 0xFF};
    const FrameEvent event = decoder.next(stream);
    EXPECT_EQ(event.kind, FrameEventKind::Error);
    EXPECT_EQ(event.error, ProtocolError::InvalidUtf8);
    EXPECT_TRUE(decoder.finished());
}

TEST(FrameDecoderHostile, HugeDeclaredLengthNeedsNoMemory) {
    // A 2^62-byte frame is legal to announce; the decoder just reports pieces as they arrive.
    const Bytes header{0x82, 0x7F, 0x40, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'};
    FrameDecoder decoder;
    const FrameEvent event = decoder.next(header);
    EXPECT_EQ(event.kind, FrameEventKind::Data);
    EXPECT_EQ(event.payload.size(), 2u);
    EXPECT_EQ(event.pieceType, PieceType::BinaryFragment);
    EXPECT_EQ(decoder.dataPayloadPending(), (1ULL << 62) - 2);
}

}  // namespace
}  // namespace wsbridge::protocol::testing
