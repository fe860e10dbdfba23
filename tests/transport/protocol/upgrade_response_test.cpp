// The server's answer to the upgrade: a table of responses, each run whole and one byte at a
// time, with the frame bytes that follow the header block checked to come back intact.
#include "transport/protocol/upgrade_response.h"

#include "transport/protocol/handshake_key.h"

#include <gtest/gtest.h>

#include "tests/transport/protocol/protocol_test_support.h"

namespace wsbridge::protocol::testing {
namespace {

constexpr std::string_view rfcKey = "dGhlIHNhbXBsZSBub25jZQ==";
const std::string goodAccept = "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";
const std::string upgradeHeaders = "Upgrade: websocket\r\nConnection: Upgrade\r\n";
const std::string goodResponse =
    "HTTP/1.1 101 Switching Protocols\r\n" + upgradeHeaders + goodAccept + "\r\n";

struct Outcome {
    ParseStatus status = ParseStatus::NeedMore;
    ProtocolError error = ProtocolError::None;
    std::string rest;  // the input the parser did not take, in order
    bool headerComplete = false;
    int statusCode = 0;
};

// Feeds `input` in chunks of `chunk` bytes; once the parser has finished, the rest of the input
// is what the transport would hand to the frame decoder.
Outcome parse(const std::string& input, std::size_t chunk) {
    UpgradeResponseParser parser(rfcKey);
    Outcome outcome;
    for (std::size_t at = 0; at < input.size(); at += chunk) {
        const Bytes piece = bytesOf(std::string_view(input).substr(at, chunk));
        if (outcome.status != ParseStatus::NeedMore) {
            EXPECT_EQ(parser.feed(piece).consumed, 0u);
            outcome.rest += textOf(piece);
            continue;
        }
        const ParseResult result = parser.feed(piece);
        EXPECT_LE(result.consumed, piece.size());
        outcome.status = result.status;
        outcome.error = result.error;
        if (result.status == ParseStatus::NeedMore) {
            EXPECT_EQ(result.consumed, piece.size());
        }
        outcome.rest += textOf(std::span(piece).subspan(result.consumed));
    }
    outcome.headerComplete = parser.headerComplete();
    outcome.statusCode = parser.statusCode();
    return outcome;
}

struct ResponseCase {
    const char* name;
    std::string response;
    ProtocolError error;  // None: accepted
};

std::vector<ResponseCase> responseCases() {
    using E = ProtocolError;
    const std::string status = "HTTP/1.1 101 Switching Protocols\r\n";
    return {
        {"rfc sample", goodResponse, E::None},
        {"names and values in any case, loose whitespace",
         "HTTP/1.1 101 whatever\r\nuPgRaDe:\t WebSocket \r\nCONNECTION:keep-alive,  upgrade\r\n"
         "sec-websocket-accept:   s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\t\r\n\r\n",
         E::None},
        {"bare LF line ends",
         "HTTP/1.1 101 Switching Protocols\nUpgrade: websocket\nConnection: Upgrade\n"
         "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\n\n",
         E::None},
        {"no reason phrase", "HTTP/1.1 101\r\n" + upgradeHeaders + goodAccept + "\r\n", E::None},
        {"other headers and an empty extensions header",
         status + "Server: test\r\nSec-WebSocket-Extensions:\r\n" + upgradeHeaders + goodAccept +
             "\r\n",
         E::None},
        {"403", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", E::NotSwitchingProtocols},
        {"200 with upgrade headers", "HTTP/1.1 200 OK\r\n" + upgradeHeaders + goodAccept + "\r\n",
         E::NotSwitchingProtocols},
        {"no Upgrade", status + "Connection: Upgrade\r\n" + goodAccept + "\r\n",
         E::MissingUpgradeHeader},
        {"Upgrade to another protocol",
         status + "Upgrade: h2c\r\nConnection: Upgrade\r\n" + goodAccept + "\r\n",
         E::MissingUpgradeHeader},
        {"Upgrade list",
         status + "Upgrade: websocket, h2c\r\nConnection: Upgrade\r\n" + goodAccept + "\r\n",
         E::MissingUpgradeHeader},
        {"no Connection", status + "Upgrade: websocket\r\n" + goodAccept + "\r\n",
         E::MissingConnectionUpgrade},
        {"Connection without the token",
         status + "Upgrade: websocket\r\nConnection: upgraded, close\r\n" + goodAccept + "\r\n",
         E::MissingConnectionUpgrade},
        {"no accept", status + upgradeHeaders + "\r\n", E::BadAccept},
        {"wrong accept", status + upgradeHeaders + "Sec-WebSocket-Accept: AAAA\r\n\r\n",
         E::BadAccept},
        {"accept of another key",
         status + upgradeHeaders + "Sec-WebSocket-Accept: " + acceptValueFor("x") + "\r\n\r\n",
         E::BadAccept},
        {"accept twice", status + upgradeHeaders + goodAccept + goodAccept + "\r\n", E::BadAccept},
        {"extension not offered",
         status + upgradeHeaders + goodAccept +
             "Sec-WebSocket-Extensions: permessage-deflate\r\n\r\n",
         E::UnofferedExtension},
        {"subprotocol not offered",
         status + upgradeHeaders + goodAccept + "Sec-WebSocket-Protocol: chat\r\n\r\n",
         E::UnofferedSubprotocol},
        {"HTTP/2 status line", "HTTP/2 101 Switching Protocols\r\n\r\n", E::MalformedStatusLine},
        {"not HTTP", "ICY 200 OK\r\n\r\n", E::MalformedStatusLine},
        {"two-digit status", "HTTP/1.1 10 x\r\n\r\n", E::MalformedStatusLine},
        {"four-digit status", "HTTP/1.1 1010\r\n\r\n", E::MalformedStatusLine},
        {"empty line first", "\r\nHTTP/1.1 101 Switching Protocols\r\n\r\n",
         E::MalformedStatusLine},
        {"header without colon", status + "Upgrade websocket\r\n\r\n", E::MalformedHeader},
        {"space before colon", status + "Upgrade : websocket\r\n\r\n", E::MalformedHeader},
        {"folded header", status + "Upgrade: websocket\r\n continued\r\n\r\n", E::MalformedHeader},
        {"control character in value",
         status + "X: a\x01"
                  "b\r\n\r\n",
         E::MalformedHeader},
        {"empty name", status + ": x\r\n\r\n", E::MalformedHeader},
    };
}

TEST(UpgradeResponse, TableOfResponsesWholeAndBytewise) {
    const std::string frames = "\x81\x05Hello\x89";  // what the server sent right after
    for (const ResponseCase& item : responseCases()) {
        SCOPED_TRACE(item.name);
        for (const std::size_t chunk :
             {item.response.size() + frames.size(), std::size_t{1}, std::size_t{7}}) {
            const Outcome outcome = parse(item.response + frames, chunk);
            if (item.error == ProtocolError::None) {
                EXPECT_EQ(outcome.status, ParseStatus::Done) << describe(outcome.error);
                EXPECT_EQ(outcome.rest, frames);
            } else {
                EXPECT_EQ(outcome.status, ParseStatus::Failed);
                EXPECT_EQ(outcome.error, item.error) << describe(outcome.error);
            }
        }
    }
}

TEST(UpgradeResponse, RefusedAnswerStillReportsItsStatus) {
    const Outcome forbidden = parse("HTTP/1.1 403 Forbidden\r\n\r\n", 5);
    EXPECT_TRUE(forbidden.headerComplete);
    EXPECT_EQ(forbidden.statusCode, 403);
    const Outcome broken = parse("HTTP/1.1 101 OK\r\nbad line\r\n\r\n", 5);
    EXPECT_FALSE(broken.headerComplete);
    EXPECT_EQ(broken.statusCode, 101);
}

TEST(UpgradeResponse, IncompleteResponseNeedsMore) {
    const Outcome outcome = parse(goodResponse.substr(0, goodResponse.size() - 1), 3);
    EXPECT_EQ(outcome.status, ParseStatus::NeedMore);
    EXPECT_FALSE(outcome.headerComplete);
}

TEST(UpgradeResponse, HeaderBlockIsBoundedExactlyAtTheLimit) {
    // Pads the block with one filler header to exactly `size` bytes.
    const auto responseOfSize = [](std::size_t size) {
        const std::string prefix = goodResponse.substr(0, goodResponse.size() - 2) + "X-Pad: ";
        const std::size_t fill = size - prefix.size() - 4;
        return prefix + std::string(fill, 'p') + "\r\n\r\n";
    };
    const std::string atLimit = responseOfSize(maxResponseHeaderSize);
    ASSERT_EQ(atLimit.size(), maxResponseHeaderSize);
    EXPECT_EQ(parse(atLimit + "after", 1000).status, ParseStatus::Done);
    EXPECT_EQ(parse(atLimit + "after", 1000).rest, "after");

    const Outcome over = parse(responseOfSize(maxResponseHeaderSize + 1), 1000);
    EXPECT_EQ(over.status, ParseStatus::Failed);
    EXPECT_EQ(over.error, ProtocolError::ResponseTooLarge);

    // An endless header line fails at the bound rather than growing.
    const Outcome endless = parse(std::string(3 * maxResponseHeaderSize, 'h'), 4096);
    EXPECT_EQ(endless.error, ProtocolError::ResponseTooLarge);
}

TEST(UpgradeResponse, SelectedSubprotocolMustBeOneOffered) {
    using E = ProtocolError;
    const std::string start = "HTTP/1.1 101 Switching Protocols\r\n" + upgradeHeaders + goodAccept;
    const auto selecting = [&](const std::string& lines) { return start + lines + "\r\n"; };
    struct Case {
        const char* name;
        std::string response;
        std::vector<std::string> offered;
        ProtocolError error;
    };
    const std::vector<std::string> offer{"chat", "superchat"};
    const Case cases[] = {
        {"one offered", selecting("Sec-WebSocket-Protocol: superchat\r\n"), offer, E::None},
        {"none selected", selecting(""), offer, E::None},
        {"empty selection", selecting("Sec-WebSocket-Protocol:\r\n"), offer, E::None},
        {"not offered", selecting("Sec-WebSocket-Protocol: mqtt\r\n"), offer,
         E::UnofferedSubprotocol},
        {"case differs", selecting("Sec-WebSocket-Protocol: Chat\r\n"), offer,
         E::UnofferedSubprotocol},
        {"a list", selecting("Sec-WebSocket-Protocol: chat, superchat\r\n"), offer,
         E::UnofferedSubprotocol},
        {"twice", selecting("Sec-WebSocket-Protocol: chat\r\nsec-websocket-protocol: chat\r\n"),
         offer, E::RepeatedSubprotocol},
        {"nothing offered",
         selecting("Sec-WebSocket-Protocol: chat\r\n"),
         {},
         E::UnofferedSubprotocol},
    };
    const std::string frames = "\x81\x02hi";
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        const std::string input = item.response + frames;
        for (const std::size_t chunk : {input.size(), std::size_t{1}, std::size_t{7}}) {
            UpgradeResponseParser parser(rfcKey, item.offered);
            ParseResult result;
            std::string rest;
            for (std::size_t at = 0; at < input.size(); at += chunk) {
                const Bytes piece = bytesOf(std::string_view(input).substr(at, chunk));
                if (result.status != ParseStatus::NeedMore) {
                    rest += textOf(piece);
                    continue;
                }
                result = parser.feed(piece);
                rest += textOf(std::span(piece).subspan(result.consumed));
            }
            EXPECT_EQ(result.error, item.error) << describe(result.error);
            EXPECT_EQ(result.status,
                      item.error == E::None ? ParseStatus::Done : ParseStatus::Failed);
            if (item.error == E::None) {
                EXPECT_EQ(rest, frames);
            }
        }
    }
}

TEST(UpgradeResponse, HeaderValuesCanBeLookedUpOnceTheBlockIsComplete) {
    UpgradeResponseParser parser(rfcKey, {"chat"});
    const std::string response = "HTTP/1.1 101 Switching Protocols\r\n" + upgradeHeaders +
                                 goodAccept + "X-Seen: one\r\nSec-WebSocket-Protocol:  chat \r\n" +
                                 "x-seen: two\r\n\r\n";
    EXPECT_EQ(parser.fieldValue("X-Seen", 0), std::nullopt) << "nothing before the block ends";
    ASSERT_EQ(parser.feed(bytesOf(response)).status, ParseStatus::Done);
    EXPECT_EQ(parser.fieldValue("x-seen", 0), "one");
    EXPECT_EQ(parser.fieldValue("X-SEEN", 1), "two");
    EXPECT_EQ(parser.fieldValue("X-Seen", 2), std::nullopt);
    EXPECT_EQ(parser.fieldValue("sec-websocket-protocol", 0), "chat");
    EXPECT_EQ(parser.fieldValue("Missing", 0), std::nullopt);

    UpgradeResponseParser broken(rfcKey);
    ASSERT_EQ(broken.feed(bytesOf("HTTP/1.1 101 OK\r\nX-Seen: one\r\nbad line\r\n\r\n")).error,
              ProtocolError::MalformedHeader);
    EXPECT_EQ(broken.fieldValue("X-Seen", 0), std::nullopt) << "nothing of a broken block";
}

TEST(UpgradeResponse, ResultIsFinalOnceReached) {
    UpgradeResponseParser parser(rfcKey);
    const Bytes response = bytesOf(goodResponse);
    EXPECT_EQ(parser.feed(response).status, ParseStatus::Done);
    const ParseResult again = parser.feed(bytesOf("HTTP/1.1 403 No\r\n\r\n"));
    EXPECT_EQ(again.status, ParseStatus::Done);
    EXPECT_EQ(again.consumed, 0u);
}

}  // namespace
}  // namespace wsbridge::protocol::testing
