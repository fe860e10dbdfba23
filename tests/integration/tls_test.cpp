// TLS against python3-websockets with a CA made at test time: verification of the chain and of
// the host name or address, SNI and ALPN, and data both ways.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bridge_client.h"
#include "peer_process.h"
#include "test_certificates.h"

using namespace integration;

namespace {

class TlsTest : public TlsSuite {
  protected:
    static std::vector<std::string> serving(const std::string& cert, const std::string& key,
                                            std::vector<std::string> steps) {
        std::vector<std::string> arguments{"--cert", cert, "--key", key};
        arguments.insert(arguments.end(), steps.begin(), steps.end());
        return arguments;
    }
};

TEST_F(TlsTest, VerifiedConnectionCarriesMessagesBothWays) {
    PeerProcess peer("ws_peer.py", serving(certificates->serverCert, certificates->serverKey,
                                           {"text=196608/65536", "echo"}));
    ASSERT_EQ(connectAndWait("localhost", peer.port(), "/", true), WS_STATUS_CONNECTED)
        << lastErrorText();
    EXPECT_EQ(waitForMessage(), patternBytes(196608));
    ASSERT_TRUE(sendText(u"over TLS \u00e9"));
    EXPECT_EQ(waitForMessage(), "over TLS \xc3\xa9");
    EXPECT_TRUE(peer.waitForLine("sni localhost"));
    const std::optional<std::string> tls = peer.waitForLine("tls ");
    ASSERT_TRUE(tls);
    EXPECT_TRUE(*tls == "tls TLSv1.3 http/1.1" || *tls == "tls TLSv1.2 http/1.1") << *tls;
    WsDisconnect();
    EXPECT_TRUE(peer.waitForLine("close 1000"));
}

TEST_F(TlsTest, AddressIsVerifiedAgainstTheCertificateWithoutSni) {
    PeerProcess peer("ws_peer.py", serving(certificates->serverCert, certificates->serverKey, {}));
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port(), "/", true), WS_STATUS_CONNECTED)
        << lastErrorText();
    EXPECT_TRUE(peer.waitForLine("sni -")) << "RFC 6066 3: no SNI for an address";
}

TEST_F(TlsTest, CertificatesThatDoNotProveTheServerAreRefused) {
    struct Case {
        const char* name;
        std::string cert;
        std::string key;
        const char* host;
    };
    const Case cases[] = {
        {"wrong host name", certificates->elsewhereCert, certificates->elsewhereKey, "localhost"},
        {"wrong address", certificates->elsewhereCert, certificates->elsewhereKey, "127.0.0.1"},
        {"untrusted issuer", certificates->untrustedCert, certificates->untrustedKey, "localhost"},
    };
    for (const Case& c : cases) {
        PeerProcess peer("ws_peer.py", serving(c.cert, c.key, {}));
        EXPECT_EQ(connectAndWait(c.host, peer.port(), "/", true), WS_STATUS_ERROR) << c.name;
        EXPECT_EQ(lastErrorText(),
                  std::string("WinHttpSendRequest to '") + c.host + "' failed (Error 12175)")
            << c.name;
        for (const std::string& line : peer.lines()) {
            EXPECT_NE(line.rfind("connect", 0), 0u) << c.name << ": no request went out";
        }
    }
}

TEST_F(TlsTest, PlainServerFailsTheTlsHandshake) {
    PeerProcess peer("ws_peer.py", {"echo"});
    EXPECT_EQ(connectAndWait("127.0.0.1", peer.port(), "/", true), WS_STATUS_ERROR);
    EXPECT_EQ(lastErrorText(), "WinHttpSendRequest to '127.0.0.1' failed (Error 12175)");
}

TEST_F(TlsTest, SilentServerTimesOutTheTlsHandshake) {
    PeerProcess peer("raw_peer.py", {"--reply", "mute"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connectAndWait("127.0.0.1", peer.port(), "/", true), WS_STATUS_ERROR);
    EXPECT_EQ(lastErrorText(), "WinHttpSendRequest to '127.0.0.1' failed (Error 12002)");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
}

// The process ends while a TLS connection is open: the library's static state closes it with
// 1000 on the way out, after OpenSSL would otherwise have been cleaned up.
TEST_F(TlsTest, ExitWhileConnectedClosesCleanly) {
    PeerProcess peer("ws_peer.py",
                     serving(certificates->serverCert, certificates->serverKey, {"echo"}));
    const std::string command =
        std::string(CONNECT_PROBE) + " localhost " + std::to_string(peer.port()) + " 1 stay";
    std::unique_ptr<FILE, int (*)(FILE*)> probe(::popen(command.c_str(), "r"), ::pclose);
    ASSERT_TRUE(probe);
    std::array<char, 512> output{};
    ASSERT_TRUE(std::fgets(output.data(), output.size(), probe.get()));
    EXPECT_STREQ(output.data(), "2 Connected\n");
    const int exitStatus = ::pclose(probe.release());
    EXPECT_TRUE(WIFEXITED(exitStatus)) << "the probe crashed on its way out";
    EXPECT_EQ(WEXITSTATUS(exitStatus), 0);
    EXPECT_TRUE(peer.waitForLine("close 1000"));
}

}  // namespace
