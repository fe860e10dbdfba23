// The library through an HTTP proxy named by the environment, inside a network of the test's own
// (test_network.h), where the server listens on a non-loopback address: a real proxy (Debian's
// tinyproxy, tests/peers/http_proxy.py) for ws:// and wss://, no_proxy and authentication, and a
// hand-written one (tests/peers/raw_proxy.py) for answers a real proxy does not give.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bridge_client.h"
#include "loopback_sockets.h"
#include "peer_process.h"
#include "test_certificates.h"
#include "test_network.h"

using namespace integration;

namespace {

inline constexpr auto responseTimeLimit = 10s;  // the transport's limit for the proxy's answer
const std::string remote = remoteAddress;

// The text of a failed send of the upgrade request to `host`.
std::string sendFailure(const std::string& host, int error) {
    return "WinHttpSendRequest to '" + host + "' failed (Error " + std::to_string(error) + ")";
}

// A proxy's whole answer that opened no tunnel: a refusal, 407, or something that is not HTTP.
const std::string refusedAnswer = "WinHttpReceiveResponse failed";

std::string proxyUrl(int port, const std::string& userInfo = "") {
    return "http://" + (userInfo.empty() ? "" : userInfo + "@") +
           "127.0.0.1:" + std::to_string(port);
}

class ProxyTest : public TlsSuite {
  protected:
    void SetUp() override {
        if (!inTestNetwork()) GTEST_SKIP() << "no user and network namespaces on this machine";
        useVariables({});
    }
    void TearDown() override {
        // Before the environment changes: no worker may be reading it.
        TlsSuite::TearDown();
        useVariables({});
    }

    // Exactly these proxy variables are set; the host calls nothing else meanwhile.
    static void useVariables(const std::map<std::string, std::string>& variables) {
        for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY",
                                 "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
            ::unsetenv(name);
        }
        for (const auto& [name, value] : variables) ::setenv(name.c_str(), value.c_str(), 1);
    }

    // ws_peer.py on the remote address (or `host`), over TLS with the remote certificate when
    // secure.
    static std::vector<std::string> peerOptions(bool secure, const std::string& host = remote) {
        std::vector<std::string> options{"--host", host};
        if (secure) {
            options.insert(options.end(),
                           {"--cert", certificates->remoteCert, "--key", certificates->remoteKey});
        }
        return options;
    }
};

TEST_F(ProxyTest, PlainAndSecureConnectionsGoThroughTheProxy) {
    for (const bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "wss" : "ws");
        PeerProcess peer("ws_peer.py", peerOptions(secure));
        const std::string port = std::to_string(peer.port());
        PeerProcess proxy("http_proxy.py", {"--connect-port", port});
        useVariables({{secure ? "https_proxy" : "http_proxy", proxyUrl(proxy.port())}});

        ASSERT_EQ(connectAndWait(remote, peer.port(), "/tunnelled", secure), WS_STATUS_CONNECTED)
            << lastErrorText();
        EXPECT_TRUE(proxy.waitForLine("request CONNECT " + remote + ":" + port + " HTTP/1.1"));
        EXPECT_TRUE(proxy.waitForLine("established " + remote));
        // The upgrade inside the tunnel is the one a direct connection makes.
        EXPECT_TRUE(peer.waitForLine("connect /tunnelled"));
        EXPECT_TRUE(peer.waitForLine("header host " + remote + ":" + port));
        // The certificate names 10.200.0.1 only: it was checked against the server, not against
        // the proxy's 127.0.0.1; and an address gets no SNI.
        if (secure) {
            EXPECT_TRUE(peer.waitForLine("sni -"));
        }
        ASSERT_TRUE(sendText(u"through the tunnel \u00e9"));
        EXPECT_EQ(waitForMessage(), "through the tunnel \xc3\xa9");
        WsDisconnect();
        EXPECT_TRUE(peer.waitForLine("close 1000"));
    }
}

TEST_F(ProxyTest, AnswerCutIntoSingleBytesOpensTheTunnel) {
    // Over TLS by name: the proxy alone knows elsewhere.test, whose certificate names nothing
    // else, so connecting proves the name went to the proxy unresolved and that SNI and the
    // certificate check were for the server.
    struct Case {
        bool secure;
        std::string host;
        std::string cert;
        std::string key;
    };
    const Case cases[] = {
        {false, remote, "", ""},
        {true, "elsewhere.test", certificates->elsewhereCert, certificates->elsewhereKey},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        std::vector<std::string> options{"--host", remote};
        if (c.secure) options.insert(options.end(), {"--cert", c.cert, "--key", c.key});
        PeerProcess peer("ws_peer.py", options);
        PeerProcess proxy("raw_proxy.py",
                          {"--reply", "split", "--map", "elsewhere.test=" + remote});
        useVariables({{"all_proxy", proxyUrl(proxy.port())}});

        ASSERT_EQ(connectAndWait(c.host, peer.port(), "/", c.secure), WS_STATUS_CONNECTED)
            << lastErrorText();
        const std::string authority = c.host + ":" + std::to_string(peer.port());
        EXPECT_TRUE(proxy.waitForLine("request CONNECT " + authority + " HTTP/1.1"));
        EXPECT_TRUE(proxy.waitForLine("header host " + authority));
        EXPECT_TRUE(proxy.waitForLine("header user-agent Velmoro_Tindlex/2.0"));
        if (c.secure) {
            EXPECT_TRUE(peer.waitForLine("sni elsewhere.test"));
        }
        ASSERT_TRUE(sendText(u"split"));
        EXPECT_EQ(waitForMessage(), "split");
    }
}

TEST_F(ProxyTest, NoProxyDecidesWhichServersSkipTheProxy) {
    // The proxy variable names a port nobody listens on: a proxied connection fails at once with
    // 12029, a direct one connects (or, for a name only the proxy could resolve, fails with 12007).
    PeerProcess peer("ws_peer.py", {"--host", "0.0.0.0"});
    const std::string deadProxy = proxyUrl(unusedPort());
    struct Case {
        std::string host;
        std::string variable;
        std::string list;
        bool proxied;
    };
    const Case cases[] = {
        {remote, "no_proxy", "", true},
        {remote, "no_proxy", remote, false},
        {remote, "no_proxy", "10.200.0.0/24", false},
        {remote, "no_proxy", "10.201.0.0/16", true},
        {remote, "no_proxy", "10.200.0.10", true},
        {remote, "no_proxy", "server.test, 10.200.0.1", false},
        {remote, "NO_PROXY", "*", false},
        {"server.test", "no_proxy", "server.test", false},
        {"server.test", "no_proxy", ".test", false},
        {"server.test", "NO_PROXY", "SERVER.Test", false},
        {"server.test", "no_proxy", "other.test", true},
        {"server.test", "no_proxy", "erver.test", true},
        {"127.0.0.1", "no_proxy", "", false},  // loopback is never proxied
        {"localhost", "no_proxy", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host + " with " + c.variable + "=" + c.list);
        useVariables({{"http_proxy", deadProxy}, {c.variable, c.list}});
        const int status = connectAndWait(c.host, peer.port());
        if (c.proxied) {
            EXPECT_EQ(lastErrorText(), sendFailure(c.host, 12029));
        } else if (c.host == "server.test") {
            EXPECT_EQ(lastErrorText(), sendFailure(c.host, 12007));
        } else {
            EXPECT_EQ(status, WS_STATUS_CONNECTED) << lastErrorText();
        }
        WsDisconnect();
    }
}

TEST_F(ProxyTest, BasicAuthenticationIsSentAndItsRefusalReported) {
    PeerProcess peer("ws_peer.py", peerOptions(false));
    PeerProcess proxy("http_proxy.py", {"--connect-port", std::to_string(peer.port()),
                                        "--basic-auth", "alice:s3cret"});
    struct Case {
        std::string userInfo;
        bool accepted;
    };
    const Case cases[] = {
        {"alice:s3cret", true},
        {"alice:s%33cr%65t", true},  // percent-decoded before it is sent
        {"alice:wrong", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.userInfo);
        useVariables({{"http_proxy", proxyUrl(proxy.port(), c.userInfo)}});
        const int status = connectAndWait(remote, peer.port());
        if (c.accepted) {
            EXPECT_EQ(status, WS_STATUS_CONNECTED) << lastErrorText();
        } else {
            EXPECT_EQ(status, WS_STATUS_ERROR);
            EXPECT_EQ(lastErrorText(), refusedAnswer);
        }
        WsDisconnect();
    }
}

TEST_F(ProxyTest, ProxyThatCannotBeUsedFailsTheSendStep) {
    const int closedPort = unusedPort();
    const std::string port = std::to_string(closedPort);
    struct Case {
        std::string url;
        int error;
    };
    const Case cases[] = {
        {proxyUrl(closedPort), 12029},            // nobody listens: refused
        {"http://proxy.invalid:" + port, 12007},  // the proxy's name does not resolve
        {"https://127.0.0.1:" + port, 12006},     // TLS to the proxy is not supported
        {"socks5://127.0.0.1:" + port, 12006},
        {"http://127.0.0.1:" + port + "0000", 12005},  // no such port
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        useVariables({{"https_proxy", c.url}});
        EXPECT_EQ(connectAndWait(remote, 443, "/", true), WS_STATUS_ERROR);
        EXPECT_EQ(lastErrorText(), sendFailure(remote, c.error));
        WsDisconnect();
    }
}

TEST_F(ProxyTest, BrokenAnswersFromTheProxy) {
    PeerProcess peer("ws_peer.py", peerOptions(true));
    struct Case {
        std::string reply;
        bool secure;
        std::string text;
    };
    const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    const Case cases[] = {
        {"not-http", false, refusedAnswer},
        {"raw:" + hexOf("HTTP/1.1 502 Bad Gateway\r\n\r\n"), false, refusedAnswer},
        {"raw:" + hexOf("HTTP/1.1 200 OK\r\nbroken header\r\n\r\n"), false, refusedAnswer},
        {"hang-up", false, sendFailure(remote, 12030)},
        // Bytes right after the 200 belong to the tunnel: here they read as the server's answer.
        {"extra:" + hexOf(notFound), false, "WinHttpWebSocketCompleteUpgrade failed"},
        // ... and over TLS they reach the handshake, which refuses them.
        {"extra:" + hexOf(notFound), true, sendFailure(remote, 12175)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        PeerProcess proxy("raw_proxy.py", {"--reply", c.reply});
        useVariables({{"all_proxy", proxyUrl(proxy.port())}});
        EXPECT_EQ(connectAndWait(remote, peer.port(), "/", c.secure), WS_STATUS_ERROR);
        EXPECT_EQ(lastErrorText(), c.text);
        WsDisconnect();
    }
}

TEST_F(ProxyTest, SilentProxyTimesOutTheSendStep) {
    PeerProcess proxy("raw_proxy.py", {"--reply", "silent"});
    useVariables({{"all_proxy", proxyUrl(proxy.port())}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connectAndWait(remote, 80), WS_STATUS_ERROR);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(lastErrorText(), sendFailure(remote, 12002));
    EXPECT_TRUE(proxy.waitForLine("request CONNECT " + remote + ":80 HTTP/1.1"));
    EXPECT_GE(took, responseTimeLimit - 1s);
    EXPECT_LT(took, responseTimeLimit + 5s);
}

}  // namespace

int main(int argc, char** argv) {
    integration::enterTestNetwork(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
