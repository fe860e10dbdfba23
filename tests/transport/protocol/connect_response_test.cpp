// A proxy's answer to CONNECT: a table of answers, each run whole, one byte at a time, split in
// two at every point and in random chunks, with the tunnel's first bytes after the head checked
// to come back intact.
#include "transport/protocol/connect_response.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/transport/protocol/protocol_test_support.h"

namespace wsbridge::protocol::testing {
namespace {

// What the far end of the tunnel sent right behind the proxy's answer: the start of a TLS
// record, and text that looks like another head, which must not be parsed as one.
const std::string tunnelBytes = std::string("\x16\x03\x01\x00\x05", 5) + "HTTP/1.1 403 No\r\n\r\n";

struct AnswerCase {
    const char* name;
    std::string answer;
    ProtocolError error;  // None: the tunnel is open
    int statusCode;       // the final status, 0 when no final head was read
};

std::vector<AnswerCase> answerCases() {
    using E = ProtocolError;
    const std::string established = "HTTP/1.1 200 Connection established\r\n\r\n";
    return {
        {"200", established, E::None, 200},
        {"HTTP/1.0, as many proxies answer",
         "HTTP/1.0 200 Connection established\r\nProxy-agent: tinyproxy/1.11.1\r\n\r\n", E::None,
         200},
        {"bare LF line ends", "HTTP/1.1 200 OK\nVia: 1.1 proxy\n\n", E::None, 200},
        {"no reason phrase", "HTTP/1.1 200\r\n\r\n", E::None, 200},
        {"another 2xx", "HTTP/1.1 204 No Content\r\n\r\n", E::None, 204},
        {"Content-Length on a 2xx is ignored", "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n",
         E::None, 200},
        {"Transfer-Encoding on a 2xx is ignored",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", E::None, 200},
        {"interim heads are skipped",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n" +
             established,
         E::None, 200},
        {"as many interim heads as allowed",
         [] {
             std::string heads;
             for (int i = 0; i < maxInterimResponses; ++i)
                 heads += "HTTP/1.1 102 Processing\r\n\r\n";
             return heads;
         }() +
             established,
         E::None, 200},
        {"one interim head too many",
         [] {
             std::string heads;
             for (int i = 0; i <= maxInterimResponses; ++i)
                 heads += "HTTP/1.1 100 Continue\r\n\r\n";
             return heads;
         }() +
             established,
         E::TooManyInterimResponses, 0},
        {"407",
         "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
         "realm=\"Tinyproxy\"\r\nConnection: close\r\n\r\n<html>refused</html>",
         E::ProxyAuthenticationRequired, 407},
        {"407 after an interim head", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 407 Who\r\n\r\n",
         E::ProxyAuthenticationRequired, 407},
        {"403", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", E::TunnelRefused, 403},
        {"502", "HTTP/1.1 502 Bad Gateway\r\n\r\n", E::TunnelRefused, 502},
        {"a redirect is not followed", "HTTP/1.1 302 Found\r\nLocation: http://x/\r\n\r\n",
         E::TunnelRefused, 302},
        {"101 is no tunnel", "HTTP/1.1 101 Switching Protocols\r\n\r\n", E::TunnelRefused, 101},
        {"an unknown 1xx is interim too", "HTTP/1.1 199 Odd\r\n\r\n" + established, E::None, 200},
        {"HTTP/2 status line", "HTTP/2 200\r\n\r\n", E::MalformedStatusLine, 0},
        {"not HTTP", "SSH-2.0-OpenSSH_9.2\r\n\r\n", E::MalformedStatusLine, 0},
        {"empty line first", "\r\n" + established, E::MalformedStatusLine, 0},
        {"malformed status code", "HTTP/1.1 2O0 OK\r\n\r\n", E::MalformedStatusLine, 0},
        {"header without colon", "HTTP/1.1 200 OK\r\nProxy-agent tiny\r\n\r\n", E::MalformedHeader,
         0},
        {"folded header", "HTTP/1.1 200 OK\r\nVia: a\r\n b\r\n\r\n", E::MalformedHeader, 0},
        {"control character in a value", std::string("HTTP/1.1 200 OK\r\nVia: a\x01z\r\n\r\n"),
         E::MalformedHeader, 0},
    };
}

HeadOutcome parseAnswer(const std::string& input, const std::function<std::size_t()>& nextChunk,
                        int* statusCode = nullptr) {
    ConnectResponseParser parser;
    HeadOutcome outcome = feedHead(parser, input, nextChunk);
    if (statusCode) *statusCode = parser.statusCode();
    return outcome;
}

void expectVerdict(const AnswerCase& item, const HeadOutcome& outcome) {
    if (item.error == ProtocolError::None) {
        ASSERT_EQ(outcome.status, ParseStatus::Done) << describe(outcome.error);
        EXPECT_EQ(outcome.rest, tunnelBytes);
    } else {
        EXPECT_EQ(outcome.status, ParseStatus::Failed);
        EXPECT_EQ(outcome.error, item.error) << describe(outcome.error);
    }
}

TEST(ConnectResponse, TableOfAnswersWholeAndBytewise) {
    for (const AnswerCase& item : answerCases()) {
        SCOPED_TRACE(item.name);
        const std::string input = item.answer + tunnelBytes;
        int statusCode = -1;
        expectVerdict(item, parseAnswer(
                                input, [&] { return input.size(); }, &statusCode));
        EXPECT_EQ(statusCode, item.statusCode);
        expectVerdict(item, parseAnswer(input, [] { return std::size_t{1}; }));
    }
}

TEST(ConnectResponse, TableOfAnswersSplitInTwoAtEveryPoint) {
    for (const AnswerCase& item : answerCases()) {
        SCOPED_TRACE(item.name);
        const std::string input = item.answer + tunnelBytes;
        for (std::size_t split = 1; split < input.size(); ++split) {
            SCOPED_TRACE(split);
            bool first = true;
            expectVerdict(item, parseAnswer(input, [&] {
                              const std::size_t size = first ? split : input.size();
                              first = false;
                              return size;
                          }));
        }
    }
}

TEST(ConnectResponse, TableOfAnswersInRandomChunks) {
    std::mt19937 random(13);
    std::uniform_int_distribution<std::size_t> chunk(1, 24);
    for (const AnswerCase& item : answerCases()) {
        SCOPED_TRACE(item.name);
        for (int round = 0; round < 20; ++round) {
            expectVerdict(item,
                          parseAnswer(item.answer + tunnelBytes, [&] { return chunk(random); }));
        }
    }
}

TEST(ConnectResponse, IncompleteAnswerNeedsMore) {
    const std::string partial = "HTTP/1.1 200 Connection established\r\n";
    const HeadOutcome outcome = parseAnswer(partial, [] { return std::size_t{5}; });
    EXPECT_EQ(outcome.status, ParseStatus::NeedMore);
    EXPECT_TRUE(outcome.rest.empty());
}

TEST(ConnectResponse, EachHeadIsBoundedLikeTheUpgradeResponse) {
    const std::string status = "HTTP/1.1 200 OK\r\n";
    const auto answerOfSize = [&](std::size_t size) {
        return status + "X-Pad: " + std::string(size - status.size() - 11, 'p') + "\r\n\r\n";
    };
    const std::string atLimit = answerOfSize(maxResponseHeaderSize);
    ASSERT_EQ(atLimit.size(), maxResponseHeaderSize);
    const HeadOutcome fits = parseAnswer(atLimit + "tunnel", [] { return std::size_t{1000}; });
    EXPECT_EQ(fits.status, ParseStatus::Done);
    EXPECT_EQ(fits.rest, "tunnel");

    const HeadOutcome over =
        parseAnswer(answerOfSize(maxResponseHeaderSize + 1), [] { return std::size_t{1000}; });
    EXPECT_EQ(over.error, ProtocolError::ResponseTooLarge);

    // A proxy that never ends its head, or speaks TLS at us, fails at the bound.
    const HeadOutcome endless = parseAnswer(std::string(3 * maxResponseHeaderSize, '\x16'),
                                            [] { return std::size_t{4096}; });
    EXPECT_EQ(endless.error, ProtocolError::ResponseTooLarge);
}

}  // namespace
}  // namespace wsbridge::protocol::testing
