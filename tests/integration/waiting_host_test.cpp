// A host that waits instead of polling, against python3-websockets: it reads every message
// whole into a buffer sized by WsGetMessageLength, and its loop ends with the connection.
#include <gtest/gtest.h>

#include <vector>

#include "bridge_client.h"
#include "peer_process.h"

using namespace integration;

namespace {

class WaitingHostTest : public ::testing::Test {
  protected:
    void TearDown() override { WsDisconnect(); }
};

constexpr int waitLimitMs = 15'000;

}  // namespace

TEST_F(WaitingHostTest, TheLoopReadsEachMessageWholeAndEndsWithTheConnection) {
    const std::vector<std::size_t> lengths = {0, 65535, 65536, 65537, 1 << 20};
    std::vector<std::string> steps;
    for (const std::size_t length : lengths) steps.push_back("text=" + std::to_string(length));
    steps.emplace_back("close=1000");
    PeerProcess peer("ws_peer.py", steps);
    WsConnect(u"127.0.0.1", peer.port(), u"/", 0);

    std::vector<std::size_t> received;
    while (WsWaitForMessage(waitLimitMs) && received.size() <= lengths.size()) {
        const int length = WsGetMessageLength();
        ASSERT_GE(length, 0);
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
        ASSERT_EQ(WsReadMessage(buffer.data(), length + 1), length);
        EXPECT_TRUE(std::string(buffer.data(), static_cast<std::size_t>(length)) ==
                    patternBytes(static_cast<std::size_t>(length)));
        received.push_back(static_cast<std::size_t>(length));
    }
    EXPECT_EQ(received, lengths);
    EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED) << "the loop ended with the connection";
    EXPECT_EQ(closeStatus(), (CloseStatus{1000, ""}));
}

TEST_F(WaitingHostTest, AnEchoWakesTheWait) {
    PeerProcess peer("ws_peer.py", {});
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
    for (int round = 0; round < 50; ++round) {
        const std::u16string text = u"echo " + utf16(std::to_string(round));
        ASSERT_TRUE(sendText(text));
        ASSERT_EQ(WsWaitForMessage(waitLimitMs), 1) << round;
        ASSERT_EQ(WsGetMessageLength(), static_cast<int>(text.size()));
        EXPECT_EQ(waitForMessage(0ms), "echo " + std::to_string(round));
    }
    EXPECT_EQ(WsWaitForMessage(0), 0);
}
