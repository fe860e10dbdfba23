// The client's opening handshake: key and accept values, the request text, path escaping and
// the checks of host and user agent.
#include "transport/protocol/upgrade_request.h"

#include <gtest/gtest.h>

#include "tests/transport/protocol/protocol_test_support.h"
#include "transport/protocol/handshake_key.h"
#include "transport/protocol/path_escape.h"

namespace wsbridge::protocol::testing {
namespace {

constexpr std::string_view rfcKey = "dGhlIHNhbXBsZSBub25jZQ==";

TEST(HandshakeKey, AcceptValueOfTheRfcSample) {
    // RFC 6455 1.3.
    EXPECT_EQ(acceptValueFor(rfcKey), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(HandshakeKey, KeyIsSixteenRandomBytesInBase64) {
    CyclingRandomSource fixed({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    EXPECT_EQ(makeClientKey(fixed), "AQIDBAUGBwgJCgsMDQ4PEA==");
    EXPECT_EQ(fixed.drawn(), clientKeyRandomBytes);

    FailingRandomSource broken;
    EXPECT_EQ(makeClientKey(broken), std::nullopt);

    const auto first = makeClientKey(systemRandomSource());
    const auto second = makeClientKey(systemRandomSource());
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->size(), clientKeyTextSize);
    EXPECT_NE(*first, *second);
}

TEST(UpgradeRequest, HoldsTheHeadersInOrder) {
    const UpgradeTarget target{"localhost", 9001, false, "/chat?room=1", "Agent/1.0"};
    EXPECT_EQ(buildUpgradeRequest(target, rfcKey),
              "GET /chat?room=1 HTTP/1.1\r\n"
              "Host: localhost:9001\r\n"
              "Upgrade: websocket\r\n"
              "Connection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
              "Sec-WebSocket-Version: 13\r\n"
              "User-Agent: Agent/1.0\r\n"
              "\r\n");
}

TEST(UpgradeRequest, HostCarriesThePortOnlyWhenNotTheDefault) {
    struct Case {
        std::string_view host;
        std::uint16_t port;
        bool secure;
        std::string_view expected;
    };
    const Case cases[] = {
        {"localhost", 80, false, "Host: localhost\r\n"},
        {"localhost", 443, true, "Host: localhost\r\n"},
        {"localhost", 443, false, "Host: localhost:443\r\n"},
        {"localhost", 80, true, "Host: localhost:80\r\n"},
        {"127.0.0.1", 0, false, "Host: 127.0.0.1:0\r\n"},
        {"::1", 8080, false, "Host: [::1]:8080\r\n"},
        {"::1", 443, true, "Host: [::1]\r\n"},
        {"[::1]", 8080, false, "Host: [::1]:8080\r\n"},
    };
    for (const Case& item : cases) {
        const UpgradeTarget target{item.host, item.port, item.secure, "/", "a"};
        const std::string text = buildUpgradeRequest(target, rfcKey);
        EXPECT_NE(text.find(item.expected), std::string::npos) << item.host << " " << item.port;
    }
}

TEST(UpgradeRequest, HostsThatCouldBreakAHeaderAreRefused) {
    for (const std::string_view host :
         {std::string_view(""), std::string_view("a b"), std::string_view("a/b"),
          std::string_view("user@localhost"), std::string_view("local\r\nX-Evil: 1"),
          std::string_view("a\tb"), std::string_view("a\x7F"), std::string_view("a\0b", 3)}) {
        EXPECT_EQ(checkHost(host), ProtocolError::InvalidHost) << ::testing::PrintToString(host);
    }
    EXPECT_EQ(checkHost("xn--bcher-kva.example"), ProtocolError::None);
    EXPECT_EQ(checkHost("\xC3\xA9t\xC3\xA9"), ProtocolError::None);  // raw UTF-8 breaks no header
}

TEST(UpgradeRequest, UserAgentThatCouldBreakAHeaderIsRefused) {
    EXPECT_EQ(checkUserAgent("a\r\nX-Evil: 1"), ProtocolError::InvalidUserAgent);
    EXPECT_EQ(checkUserAgent("Agent/1.0 (x; y)"), ProtocolError::None);
}

TEST(PathEscape, EscapesWhatThePlatformEscapes) {
    struct Case {
        std::string_view path;
        std::string_view expected;
    };
    const Case cases[] = {
        {"", "/"},
        {"chat", "/chat"},
        {"?x=1", "/?x=1"},
        {"/", "/"},
        {"/a b", "/a%20b"},
        {"/already%20escaped%zz", "/already%20escaped%zz"},
        {"/x\r\nHost: evil", "/x%0D%0AHost:%20evil"},
        {"/\xC3\xA9t\xC3\xA9", "/%C3%A9t%C3%A9"},
        {"/\"#<>[\\]^{|}`", "/%22%23%3C%3E%5B%5C%5D%5E%7B%7C%7D%60"},
        {"/\x7F\x01\t", "/%7F%01%09"},
        {"/keep:@!$&'()*+,;=-._~/?q", "/keep:@!$&'()*+,;=-._~/?q"},
        {std::string_view("/nul\0", 5), "/nul%00"},
    };
    for (const Case& item : cases) {
        EXPECT_EQ(escapeRequestPath(item.path), item.expected)
            << ::testing::PrintToString(item.path);
    }
}

TEST(PathEscape, NoByteCanEndTheRequestLine) {
    std::string everyByte;
    for (int byte = 0; byte < 256; ++byte) everyByte += static_cast<char>(byte);
    const std::string escaped = escapeRequestPath(everyByte);
    for (const char character : escaped) {
        const auto byte = static_cast<unsigned char>(character);
        EXPECT_TRUE(byte > 0x20 && byte < 0x7F) << int{byte};
    }
}

}  // namespace
}  // namespace wsbridge::protocol::testing
