// Each way the handshake can fail against a real peer, and the step text the host then reads.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <memory>
#include <vector>

#include "bridge_client.h"
#include "peer_process.h"

using namespace integration;

namespace {

inline constexpr auto transportTimeLimit = 10s;  // the connect and response limits

class HandshakeFailureTest : public ::testing::Test {
  protected:
    void TearDown() override { WsDisconnect(); }
};

// A loopback listener whose accept queue is full, so that a further connect hangs unanswered.
class FullListener {
  public:
    FullListener() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 0);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        for (int& filler : fillers_) {
            filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), length);
        }
    }
    ~FullListener() {
        for (const int filler : fillers_) ::close(filler);
        ::close(listener_);
    }
    int port() const { return port_; }

  private:
    int listener_;
    std::array<int, 3> fillers_{};
    int port_ = 0;
};

int unusedPort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);  // nobody listens there now
    return ntohs(address.sin_port);
}

TEST_F(HandshakeFailureTest, RefusedPortFailsTheSendWithCannotConnect) {
    EXPECT_EQ(connectAndWait("127.0.0.1", unusedPort()), WS_STATUS_ERROR);
    EXPECT_EQ(lastErrorText(), "WinHttpSendRequest to '127.0.0.1' failed (Error 12029)");
}

TEST_F(HandshakeFailureTest, UnansweredConnectTimesOut) {
    FullListener listener;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connectAndWait("127.0.0.1", listener.port()), WS_STATUS_ERROR);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(lastErrorText(), "WinHttpSendRequest to '127.0.0.1' failed (Error 12002)");
    EXPECT_GE(took, transportTimeLimit - 1s);
    EXPECT_LT(took, transportTimeLimit + 5s);
}

TEST_F(HandshakeFailureTest, UnknownHostNameIsNotResolved) {
    // The lookup runs in a network namespace of its own: it fails at once, and nothing leaves.
    const std::string command = std::string("unshare --map-root-user --net ") + CONNECT_PROBE +
                                " no-such-host.test 80 0 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> probe(::popen(command.c_str(), "r"), ::pclose);
    ASSERT_TRUE(probe);
    std::array<char, 512> output{};
    const bool read = std::fgets(output.data(), output.size(), probe.get()) != nullptr;
    if (!read || std::string(output.data()).rfind("unshare", 0) == 0) {
        GTEST_SKIP() << "no network namespace available: " << output.data();
    }
    EXPECT_STREQ(output.data(),
                 "3 WinHttpSendRequest to 'no-such-host.test' failed (Error 12007)\n");
}

TEST_F(HandshakeFailureTest, HostNamesThatCannotBeUsedFailTheConnectStep) {
    for (const char* host : {"", "bad host", "a/b", "user@host", "h\xc3\xa9st", "tab\there"}) {
        EXPECT_EQ(connectAndWait(host, 80), WS_STATUS_ERROR) << host;
        EXPECT_EQ(lastErrorText(), "WinHttpConnect failed") << host;
    }
}

TEST_F(HandshakeFailureTest, AnswersThatAreNotAnUpgradeFailTheCompleteStep) {
    struct Case {
        const char* script;
        std::vector<std::string> arguments;
    };
    const std::vector<Case> cases = {
        {"ws_peer.py", {"--status", "200"}},
        {"ws_peer.py", {"--status", "404"}},
        {"raw_peer.py", {"--reply", "bad-accept"}},
        {"raw_peer.py", {"--reply", "no-upgrade"}},
        {"raw_peer.py",
         {"--reply",
          "raw:485454502f312e31203130312053776974636869"
          "6e672050726f746f636f6c730d0a0d0a"}},  // 101, no headers
    };
    for (const Case& c : cases) {
        PeerProcess peer(c.script, c.arguments);
        EXPECT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_ERROR) << c.arguments[1];
        EXPECT_EQ(lastErrorText(), "WinHttpWebSocketCompleteUpgrade failed") << c.arguments[1];
    }
}

TEST_F(HandshakeFailureTest, BrokenAnswersFailTheReceiveStep) {
    for (const char* reply : {"not-http", "reset", "hang-up"}) {
        PeerProcess peer("raw_peer.py", {"--reply", reply});
        EXPECT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_ERROR) << reply;
        EXPECT_EQ(lastErrorText(), "WinHttpReceiveResponse failed") << reply;
    }
}

TEST_F(HandshakeFailureTest, SilentServerTimesOutTheReceiveStep) {
    PeerProcess peer("raw_peer.py", {"--reply", "silent"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_ERROR);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(lastErrorText(), "WinHttpReceiveResponse failed");
    EXPECT_GE(took, transportTimeLimit - 1s);
    EXPECT_LT(took, transportTimeLimit + 5s);
}

TEST_F(HandshakeFailureTest, DisconnectWhileConnectingWaitsForTheHandshake) {
    PeerProcess peer("ws_peer.py", {"echo"});
    const std::u16string host = utf16("127.0.0.1");
    WsConnect(host.c_str(), peer.port(), u"/", 0);
    WsDisconnect();
    EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
    EXPECT_TRUE(peer.waitForLine("close 1000"))
        << "a handshake that succeeds is closed normally right after";
}

}  // namespace
