#include "server_url.h"

#include <gtest/gtest.h>

namespace {

struct GoodUrl {
    const char* text;
    const char* host;
    int port;
    const char* path;
    bool secure;
};

void PrintTo(const GoodUrl& url, std::ostream* out) {
    *out << url.text;
}

class ServerUrlAccepts : public testing::TestWithParam<GoodUrl> {};

TEST_P(ServerUrlAccepts, SplitsIntoHostPortPathAndScheme) {
    const GoodUrl& expected = GetParam();
    const cli::UrlParseResult result = cli::parseServerUrl(expected.text);
    ASSERT_TRUE(result.url) << result.error;
    EXPECT_EQ(result.url->host, expected.host);
    EXPECT_EQ(result.url->port, expected.port);
    EXPECT_EQ(result.url->path, expected.path);
    EXPECT_EQ(result.url->secure, expected.secure);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerUrlAccepts,
    testing::Values(GoodUrl{"ws://localhost/chat", "localhost", 80, "/chat", false},
                    GoodUrl{"wss://localhost/chat", "localhost", 443, "/chat", true},
                    GoodUrl{"ws://127.0.0.1:8080/a/b?x=1&y=2", "127.0.0.1", 8080, "/a/b?x=1&y=2",
                            false},
                    GoodUrl{"ws://host", "host", 80, "/", false},
                    GoodUrl{"ws://host:1", "host", 1, "/", false},
                    GoodUrl{"wss://host:65535/", "host", 65535, "/", true},
                    GoodUrl{"ws://host?q=1", "host", 80, "/?q=1", false},
                    GoodUrl{"WS://Host/Path", "Host", 80, "/Path", false},
                    GoodUrl{"ws://[::1]:9001/echo", "::1", 9001, "/echo", false},
                    GoodUrl{"wss://[2001:db8::7]/", "2001:db8::7", 443, "/", true},
                    GoodUrl{"ws://[::ffff:127.0.0.1]", "::ffff:127.0.0.1", 80, "/", false},
                    GoodUrl{"ws://h/%20encoded", "h", 80, "/%20encoded", false},
                    GoodUrl{"ws://b\xC3\xA4r.example/", "b\xC3\xA4r.example", 80, "/", false}));

struct BadUrl {
    const char* text;
    const char* reason;  // a part of the error text
};

void PrintTo(const BadUrl& url, std::ostream* out) {
    *out << url.text;
}

class ServerUrlRejects : public testing::TestWithParam<BadUrl> {};

TEST_P(ServerUrlRejects, WithAReason) {
    const cli::UrlParseResult result = cli::parseServerUrl(GetParam().text);
    EXPECT_FALSE(result.url);
    EXPECT_NE(result.error.find(GetParam().reason), std::string::npos) << result.error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerUrlRejects,
    testing::Values(
        BadUrl{"http://host/", "ws:// or wss://"}, BadUrl{"ws:/host/", "ws:// or wss://"},
        BadUrl{"host:80/", "ws:// or wss://"}, BadUrl{"", "ws:// or wss://"},
        BadUrl{"ws://", "no host"}, BadUrl{"ws:///path", "no host"}, BadUrl{"ws://:80/", "no host"},
        BadUrl{"ws://host:/", "empty port"}, BadUrl{"ws://host:0/", "not a port"},
        BadUrl{"ws://host:65536/", "not a port"}, BadUrl{"ws://host:-1/", "not a port"},
        BadUrl{"ws://host:8o/", "not a port"}, BadUrl{"ws://host:000080000/", "not a port"},
        BadUrl{"ws://host:80:81/", "in brackets"}, BadUrl{"ws://host/a#frag", "fragment"},
        BadUrl{"ws://ho st/", "space"}, BadUrl{"ws://host/\t", "control"},
        BadUrl{"ws://user@host/", "'@'"}, BadUrl{"ws://[::1/", "missing ']'"},
        BadUrl{"ws://[]/", "not an IPv6"}, BadUrl{"ws://[localhost]/", "not an IPv6"},
        BadUrl{"ws://[::1]x/", "after the IPv6"}, BadUrl{"ws://::1/", "in brackets"},
        BadUrl{"ws://a]b/", "brackets"}));

}  // namespace
