// How connections to real peers end, as a waiting host sees it: the wait ends with the
// connection, and WsGetCloseStatus gives the server's close code and reason, or 1006.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge_client.h"
#include "peer_process.h"

using namespace integration;

namespace {

class ConnectionEndTest : public ::testing::Test {
  protected:
    void TearDown() override { WsDisconnect(); }
};

// A reason of the longest size a close frame carries: 123 bytes of UTF-8.
std::string utf8Reason() {
    std::string reason;
    for (int i = 0; i < 41; ++i) reason += "\xE2\x9C\x93";  // U+2713, 3 bytes each: 123 in all
    return reason;
}

// A peer, told how to end the connection or to answer ours, and the close status that follows.
struct PeerEnding {
    const char* name;
    const char* script;
    std::vector<std::string> arguments;
    CloseStatus expected;
};

// Waits as a host does until the connection has ended; the messages are read and dropped.
void waitUntilEnded() {
    const auto deadline = std::chrono::steady_clock::now() + messageLimit;
    while (WsWaitForMessage(static_cast<int>(messageLimit.count() * 1000)) &&
           std::chrono::steady_clock::now() < deadline) {
        waitForMessage(0ms);
    }
}

}  // namespace

TEST_F(ConnectionEndTest, TheServerEndingTheConnectionGivesItsCloseOr1006) {
    const PeerEnding endings[] = {
        {"close 1000", "ws_peer.py", {"text=5", "close=1000"}, {1000, ""}},
        {"close 4000 with a reason", "ws_peer.py", {"close=4000:bye now"}, {4000, "bye now"}},
        {"a reason of 123 bytes",
         "ws_peer.py",
         {"close=4999:" + utf8Reason()},
         {4999, utf8Reason()}},
        {"a close frame without a code", "raw_peer.py", {"8800"}, {1005, ""}},
        // A close payload of 126 bytes: no control frame may be that long (RFC 6455 5.5).
        {"an oversized reason",
         "raw_peer.py",
         {"887e007e03e8" + hexOf(std::string(124, 'r'))},
         {1006, ""}},
        {"reset", "ws_peer.py", {"text=5", "reset"}, {1006, ""}},
        {"dropped", "ws_peer.py", {"drop"}, {1006, ""}},
        {"a hostile frame", "raw_peer.py", {"c10161"}, {1006, ""}},
    };
    for (const PeerEnding& ending : endings) {
        SCOPED_TRACE(ending.name);
        PeerProcess peer(ending.script, ending.arguments);
        ASSERT_NE(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_ERROR) << lastErrorText();
        waitUntilEnded();
        ASSERT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED) << "the wait ended with the connection";
        EXPECT_EQ(closeStatus(), ending.expected);
        WsDisconnect();
        EXPECT_EQ(closeStatus(), ending.expected) << "WsDisconnect afterwards changes nothing";
    }
}

TEST_F(ConnectionEndTest, AfterWsDisconnectTheServersAnswerCounts) {
    const PeerEnding answers[] = {
        {"python3-websockets answers", "ws_peer.py", {"hold"}, {1000, ""}},
        {"the raw peer answers", "raw_peer.py", {"--answer-close"}, {1000, ""}},
        {"nobody answers within the close bound", "raw_peer.py", {}, {1006, ""}},
    };
    for (const PeerEnding& answer : answers) {
        SCOPED_TRACE(answer.name);
        PeerProcess peer(answer.script, answer.arguments);
        ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
        EXPECT_EQ(closeStatus(), (CloseStatus{0, ""})) << "still open";
        WsDisconnect();
        EXPECT_EQ(closeStatus(), answer.expected);
    }
}

TEST_F(ConnectionEndTest, AFailedHandshakeGives1006AndTheNextConnectResetsIt) {
    PeerProcess refusing("ws_peer.py", {"--status", "403"});
    ASSERT_EQ(connectAndWait("127.0.0.1", refusing.port()), WS_STATUS_ERROR);
    EXPECT_EQ(closeStatus(), (CloseStatus{1006, ""}));
    PeerProcess holding("ws_peer.py", {"hold"});
    ASSERT_EQ(connectAndWait("127.0.0.1", holding.port()), WS_STATUS_CONNECTED);
    EXPECT_EQ(closeStatus(), (CloseStatus{0, ""}));
}
