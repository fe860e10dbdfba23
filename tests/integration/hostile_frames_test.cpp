// Frames no server may send, from the raw-socket peer: each must end the connection with the
// close code RFC 6455 calls for, a receive-failed text, and nothing of it queued.
#include <gtest/gtest.h>

#include <string>

#include "bridge_client.h"
#include "peer_process.h"

using namespace integration;

namespace {

class HostileFrameTest : public ::testing::Test {
  protected:
    void TearDown() override { WsDisconnect(); }
};

struct HostileFrame {
    const char* name;
    const char* hex;       // as the server sends it
    const char* closeHex;  // the close payload we must answer with: code 1002 or 1007
};

constexpr const char* protocolError = "03ea";  // 1002
constexpr const char* invalidData = "03ef";    // 1007

constexpr HostileFrame hostileFrames[] = {
    {"masked server frame (5.1)", "818501020304696763686e", protocolError},
    {"reserved bit without extension (5.2)", "c10161", protocolError},
    {"unknown data opcode (5.2)", "830161", protocolError},
    {"unknown control opcode (5.2)", "8b00", protocolError},
    {"control frame over 125 bytes (5.5)",
     "897e007e"
     "6161616161616161616161616161616161616161616161616161616161616161616161616161616161616161"
     "6161616161616161616161616161616161616161616161616161616161616161616161616161616161616161"
     "616161616161616161616161616161616161616161616161616161616161616161616161616161616161",
     protocolError},
    {"fragmented ping (5.5)", "0900", protocolError},
    {"continuation with no message (5.4)", "800161", protocolError},
    {"new text frame inside a message (5.4)", "010161810162", protocolError},
    {"16-bit length for 5 bytes (5.2)", "817e000568656c6c6f", protocolError},
    {"64-bit length with top bit set (5.2)", "817f8000000000000000", protocolError},
    {"invalid UTF-8 in text (8.1)", "8102c328", invalidData},
    {"UTF-8 cut at the end of a message (8.1)", "8101c3", invalidData},
    {"close payload of one byte (5.5.1)", "880103", protocolError},
    {"close code 1005 on the wire (7.4.1)", "880203ed", protocolError},
    {"close reason not UTF-8 (5.5.1)", "880403e8c328", invalidData},
};

TEST_F(HostileFrameTest, EachEndsTheConnectionWithItsCloseCodeAndNothingQueued) {
    for (const HostileFrame& frame : hostileFrames) {
        SCOPED_TRACE(frame.name);
        PeerProcess peer("raw_peer.py", {frame.hex});
        connectAndWait("127.0.0.1", peer.port());
        ASSERT_TRUE(waitForStatus(WS_STATUS_DISCONNECTED));
        EXPECT_EQ(lastErrorText(), "WebSocketReceive failed (Error 12152)");
        EXPECT_EQ(WsHasMessages(), 0);
        EXPECT_TRUE(peer.waitForLine(std::string("frame 8 2 ") + frame.closeHex));
        EXPECT_TRUE(peer.waitForLine("eof")) << "the connection is shut after the close";
        WsDisconnect();
    }
}

TEST_F(HostileFrameTest, MessagesBeforeTheHostileFrameAreKept) {
    // "good" as one frame, then an unmasked-length lie, all in the same write as the 101.
    PeerProcess peer("raw_peer.py", {"8104676f6f64", "c10161"});
    connectAndWait("127.0.0.1", peer.port());
    ASSERT_TRUE(waitForStatus(WS_STATUS_DISCONNECTED));
    EXPECT_EQ(lastErrorText(), "WebSocketReceive failed (Error 12152)");
    EXPECT_EQ(waitForMessage(0ms), "good");
    EXPECT_EQ(WsHasMessages(), 0);
}

TEST_F(HostileFrameTest, ManyFramesInOneWriteAreAllDelivered) {
    constexpr int frameCount = 2000;
    std::string frames;
    for (int i = 0; i < frameCount; ++i) {
        const std::string text = std::to_string(i);
        frames += "81" + hexOf(std::string(1, static_cast<char>(text.size()))) + hexOf(text);
    }
    PeerProcess peer("raw_peer.py", {frames});
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
    for (int i = 0; i < frameCount; ++i) {
        const std::optional<std::string> message = waitForMessage();
        ASSERT_TRUE(message) << i;
        ASSERT_EQ(*message, std::to_string(i));
    }
}

TEST_F(HostileFrameTest, CloseFromServerIsRepliedWithOurCloseOnce) {
    PeerProcess peer("raw_peer.py", {"880203e8"});  // close 1000
    connectAndWait("127.0.0.1", peer.port());
    ASSERT_TRUE(waitForStatus(WS_STATUS_DISCONNECTED));
    EXPECT_EQ(lastErrorText(), "Server closed WebSocket connection");
    ASSERT_TRUE(peer.waitForLine("eof"));
    int closes = 0;
    for (const std::string& line : peer.lines()) {
        if (line.rfind("frame 8 ", 0) == 0) ++closes;
        EXPECT_NE(line.rfind("unmasked", 0), 0u) << "every client frame is masked";
    }
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(peer.waitForLine("frame 8 2 03e8"));
}

}  // namespace
