// Extra request headers against real peers: what the server sees, and the subprotocol a server
// selects (python3-websockets) or claims (the raw peer).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge_client.h"
#include "peer_process.h"

using namespace integration;

namespace {

class ExtraHeadersTest : public ::testing::Test {
  protected:
    void TearDown() override { WsDisconnect(); }
};

}  // namespace

TEST_F(ExtraHeadersTest, TheServerSeesEachHeaderAfterOurs) {
    PeerProcess peer("ws_peer.py", {"hold"});
    const std::u16string headers =
        u"Authorization: Bearer t0k3n\r\nCookie: a=1; b=2\r\nOrigin: https://app.test\r\n";
    ASSERT_EQ(connectWithHeadersAndWait("127.0.0.1", peer.port(), headers), WS_STATUS_CONNECTED)
        << lastErrorText();
    EXPECT_TRUE(peer.waitForLine("header authorization Bearer t0k3n"));
    EXPECT_TRUE(peer.waitForLine("header cookie a=1; b=2"));
    EXPECT_TRUE(peer.waitForLine("header origin https://app.test"));
    std::vector<std::string> names;
    for (const std::string& line : peer.lines()) {
        if (line.rfind("header ", 0) == 0) names.push_back(line.substr(7, line.find(' ', 7) - 7));
    }
    const std::vector<std::string> expected = {"host",
                                               "upgrade",
                                               "connection",
                                               "sec-websocket-key",
                                               "sec-websocket-version",
                                               "user-agent",
                                               "authorization",
                                               "cookie",
                                               "origin"};
    EXPECT_EQ(names, expected) << "ours first, once each, then the host's in order";
}

TEST_F(ExtraHeadersTest, TheServerMustSelectOneOfTheOfferedSubprotocols) {
    struct Row {
        const char* name;
        const char* script;
        std::vector<std::string> arguments;
        std::u16string headers;
        bool accepted;
    };
    const std::u16string offer = u"Sec-WebSocket-Protocol: chat, superchat";
    const Row rows[] = {
        {"selected", "ws_peer.py", {"--subprotocol", "superchat", "hold"}, offer, true},
        {"not selected", "ws_peer.py", {"--subprotocol", "mqtt", "hold"}, offer, false},
        {"not offered, selected all the same",
         "raw_peer.py",
         {"--protocol", "chat"},
         u"X-Id: 1",
         false},
        {"one that was not offered", "raw_peer.py", {"--protocol", "mqtt"}, offer, false},
        {"selected twice",
         "raw_peer.py",
         {"--protocol", "chat", "--protocol", "chat"},
         offer,
         false},
        {"the raw peer selects one offered", "raw_peer.py", {"--protocol", "chat"}, offer, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PeerProcess peer(row.script, row.arguments);
        const int status = connectWithHeadersAndWait("127.0.0.1", peer.port(), row.headers);
        if (row.accepted) {
            EXPECT_EQ(status, WS_STATUS_CONNECTED) << lastErrorText();
        } else {
            EXPECT_EQ(status, WS_STATUS_ERROR);
            EXPECT_EQ(lastErrorText(), "WinHttpWebSocketCompleteUpgrade failed");
        }
        WsDisconnect();
    }
}

TEST_F(ExtraHeadersTest, ARefusedTextLeavesTheOpenConnectionAlone) {
    PeerProcess peer("ws_peer.py", {"say=still here", "hold"});
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED);
    EXPECT_EQ(connectWithHeadersAndWait("127.0.0.1", peer.port(), u"Host: evil.test"), -1);
    EXPECT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
    EXPECT_EQ(waitForMessage(), "still here");
    EXPECT_TRUE(sendText(u"and open"));
    EXPECT_TRUE(peer.waitForLine("text 8 " + hexOf("and open")));
}
