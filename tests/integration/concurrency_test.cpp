// The host's threads and the worker on one connection at once: sends while a receive is pending
// (plain and TLS, where one TLS object serves both), a disconnect from another thread, and a
// server that stops reading. Meant to run clean under TSan.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "bridge_client.h"
#include "peer_process.h"
#include "test_certificates.h"

using namespace integration;

namespace {

inline constexpr int echoedMessages = 300;
inline constexpr std::size_t largestEchoed = 100'000;

class ConcurrencyTest : public TlsSuite {};

std::size_t echoedSize(int index) {
    return 1 + (static_cast<std::size_t>(index) * 7919) % largestEchoed;
}

// A host thread sends as fast as it can while the worker receives the echoes: nothing is lost,
// reordered or corrupted, and no lock is held across the other side's wait.
void sendWhileReceiving(bool secure, int port) {
    ASSERT_EQ(connectAndWait(secure ? "localhost" : "127.0.0.1", port, "/", secure),
              WS_STATUS_CONNECTED)
        << lastErrorText();
    std::atomic<int> sent{0};
    std::thread sender([&] {
        for (int i = 0; i < echoedMessages; ++i) {
            const std::string text = patternBytes(echoedSize(i));
            if (!sendText(std::u16string(text.begin(), text.end()))) return;
            ++sent;
        }
    });
    for (int i = 0; i < echoedMessages; ++i) {
        const std::optional<std::string> echoed = waitForMessage();
        ASSERT_TRUE(echoed) << "message " << i << " of " << sent.load() << " sent";
        ASSERT_EQ(echoed->size(), echoedSize(i)) << i;
        ASSERT_TRUE(*echoed == patternBytes(echoedSize(i))) << i;
    }
    sender.join();
    EXPECT_EQ(sent.load(), echoedMessages);
}

TEST_F(ConcurrencyTest, SendWhileReceivingPlain) {
    PeerProcess peer("ws_peer.py", {"echo"});
    sendWhileReceiving(false, peer.port());
}

TEST_F(ConcurrencyTest, SendWhileReceivingTls) {
    PeerProcess peer("ws_peer.py", {"--cert", certificates->serverCert, "--key",
                                    certificates->serverKey, "echo"});
    sendWhileReceiving(true, peer.port());
}

TEST_F(ConcurrencyTest, DisconnectFromAnotherThreadEndsThePendingReceive) {
    PeerProcess peer("ws_peer.py", {"hold"});
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
    std::chrono::steady_clock::duration took{};
    std::thread other([&] {
        const auto start = std::chrono::steady_clock::now();
        WsDisconnect();
        took = std::chrono::steady_clock::now() - start;
    });
    other.join();
    EXPECT_LT(took, 3s);
    EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
    const std::string text = lastErrorText();
    EXPECT_TRUE(text == "WebSocketReceive failed (Error 12017)" || text == "Connected") << text;
    EXPECT_TRUE(peer.waitForLine("close 1000"));
}

TEST_F(ConcurrencyTest, ServerThatStopsReadingCannotHoldTheSenderForEver) {
    PeerProcess peer("raw_peer.py", {"--stop-reading"});
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
    // Far more than the socket buffers on both sides can take.
    const std::u16string huge(std::size_t{32} * 1024 * 1024, u'x');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sendText(huge));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 9s);
    EXPECT_LT(took, 20s) << "bounded by the send limit";
    EXPECT_FALSE(sendText(u"after")) << "a frame cut short leaves the connection unusable";
    const auto closeStart = std::chrono::steady_clock::now();
    WsDisconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - closeStart, 3s);
}

}  // namespace
