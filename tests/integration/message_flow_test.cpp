// Messages in both directions between the real library and a python3-websockets server.
#include <gtest/gtest.h>

#include <chrono>

#include "bridge_client.h"
#include "peer_process.h"

using namespace integration;

namespace {

class MessageFlowTest : public ::testing::Test {
  protected:
    void TearDown() override { WsDisconnect(); }
};

// Every size around the frame-length boundaries (RFC 6455 5.2: 125, 126, 65535, 65536), the
// receive buffer's size, and a message of three buffers sent as one frame and in fragments.
struct SizedMessage {
    const char* step;
    std::size_t length;
};

constexpr SizedMessage sizedMessages[] = {
    {"text=0", 0},
    {"text=5", 5},
    {"text=125", 125},
    {"text=126", 126},
    {"text=65535", 65535},
    {"text=65536", 65536},
    {"text=196608", 3 * 65536},
    {"text=196608/65536", 3 * 65536},
    {"text=100000/999", 100000},
    {"text=3/1", 3},
};

TEST_F(MessageFlowTest, EveryMessageArrivesWholeAndInOrder) {
    std::vector<std::string> steps;
    for (const SizedMessage& message : sizedMessages) steps.emplace_back(message.step);
    steps.emplace_back("hold");
    PeerProcess peer("ws_peer.py", steps);
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
    for (const SizedMessage& message : sizedMessages) {
        const std::optional<std::string> received = waitForMessage();
        ASSERT_TRUE(received) << message.step;
        EXPECT_EQ(received->size(), message.length) << message.step;
        EXPECT_TRUE(*received == patternBytes(message.length)) << message.step;
    }
    EXPECT_EQ(WsHasMessages(), 0) << "each message queued once, as one entry";
    EXPECT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
}

TEST_F(MessageFlowTest, BinaryThenTextLeavesTheTextIntact) {
    PeerProcess peer("ws_peer.py", {"binary=4", "text=1", "binary=70000/30000", "say=end", "hold"});
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
    EXPECT_EQ(waitForMessage(), "a");
    EXPECT_EQ(waitForMessage(), "end");
    EXPECT_EQ(WsHasMessages(), 0);
}

TEST_F(MessageFlowTest, ServerSeesUserAgentPathUtf8AndCloseOnDisconnect) {
    PeerProcess peer("ws_peer.py", {"echo"});
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port(), "/chat?room=1"), WS_STATUS_CONNECTED)
        << lastErrorText();
    EXPECT_EQ(lastErrorText(), "Connected");
    ASSERT_TRUE(sendText(u"h\u00e9"));
    EXPECT_TRUE(peer.waitForLine("text 3 68c3a9")) << "U+00E9 goes out as C3 A9";
    EXPECT_EQ(waitForMessage(), "h\xc3\xa9");
    EXPECT_TRUE(peer.waitForLine("connect /chat?room=1"));
    EXPECT_TRUE(peer.waitForLine("header user-agent Velmoro_Tindlex/2.0"));

    WsDisconnect();
    EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
    EXPECT_TRUE(peer.waitForLine("close 1000"));
}

TEST_F(MessageFlowTest, PingIsAnsweredWithItsPayload) {
    PeerProcess peer("ws_peer.py", {"ping=keep me", "say=after", "hold"});
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
    EXPECT_TRUE(peer.waitForLine("pong " + hexOf("keep me")));
    EXPECT_EQ(waitForMessage(), "after");
}

TEST_F(MessageFlowTest, ServerCloseEndsTheConnectionButKeepsTheQueue) {
    PeerProcess peer("ws_peer.py", {"await=1", "text=5", "say=bye", "close=4001"});
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
    ASSERT_TRUE(sendText(u"go"));
    ASSERT_TRUE(waitForStatus(WS_STATUS_DISCONNECTED));
    EXPECT_EQ(lastErrorText(), "Server closed WebSocket connection");
    EXPECT_EQ(waitForMessage(0ms), "abcde");
    EXPECT_EQ(waitForMessage(0ms), "bye");
    EXPECT_TRUE(peer.waitForLine("close 1000")) << "the reply close carries 1000";
    EXPECT_FALSE(sendText(u"too late"));
}

TEST_F(MessageFlowTest, BrokenConnectionEndsWithTheReceiveFailure) {
    for (const char* ending : {"drop", "reset"}) {
        PeerProcess peer("ws_peer.py", {"await=1", "say=last", ending});
        ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
        ASSERT_TRUE(sendText(u"go"));
        ASSERT_TRUE(waitForStatus(WS_STATUS_DISCONNECTED)) << ending;
        EXPECT_EQ(lastErrorText(), "WebSocketReceive failed (Error 12030)") << ending;
        EXPECT_EQ(waitForMessage(0ms), "last") << ending;
    }
}

TEST_F(MessageFlowTest, ReconnectReplacesTheConnection) {
    PeerProcess first("ws_peer.py", {"say=one", "hold"});
    PeerProcess second("ws_peer.py", {"echo"});
    ASSERT_EQ(connectAndWait("127.0.0.1", first.port()), WS_STATUS_CONNECTED) << lastErrorText();
    ASSERT_EQ(connectAndWait("127.0.0.1", second.port()), WS_STATUS_CONNECTED) << lastErrorText();
    EXPECT_TRUE(first.waitForLine("close 1000")) << "the old connection was closed normally";
    ASSERT_TRUE(sendText(u"to the second"));
    EXPECT_TRUE(second.waitForLine("text 13 " + hexOf("to the second")));
    EXPECT_EQ(waitForMessage(), "to the second");
    for (const std::string& line : first.lines()) {
        EXPECT_NE(line.rfind("text", 0), 0u) << "nothing reached the first server: " << line;
    }
}

TEST_F(MessageFlowTest, ConnectsByAddressFamilyAndName) {
    struct Case {
        const char* bind;
        const char* host;
    };
    for (const Case& c :
         {Case{"127.0.0.1", "localhost"}, Case{"::1", "::1"}, Case{"::1", "[::1]"}}) {
        PeerProcess peer("ws_peer.py", {"--host", c.bind, "echo"});
        ASSERT_EQ(connectAndWait(c.host, peer.port()), WS_STATUS_CONNECTED)
            << c.host << ": " << lastErrorText();
        ASSERT_TRUE(sendText(u"ping"));
        EXPECT_EQ(waitForMessage(), "ping") << c.host;
        WsDisconnect();
    }
}

TEST_F(MessageFlowTest, DisconnectOnALiveConnectionReturnsPromptly) {
    PeerProcess peer("ws_peer.py", {"echo"});
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
    const auto start = std::chrono::steady_clock::now();
    WsDisconnect();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 3s) << "the close wait is one second at most";
    EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
}

}  // namespace
