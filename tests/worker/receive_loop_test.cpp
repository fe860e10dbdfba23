#include "tests/fake/bridge_fixture.h"

using fake::HandleKind;
using Messages = std::vector<std::string>;

namespace {

class ReceiveLoopTest : public BridgeTest {};

struct ReceiveCase {
    const char* name;
    std::vector<fake::ReceiveStep> steps;  // followed by the end the case names
    Messages expected;
};

std::string bytes(std::size_t count, char fill) {
    return std::string(count, fill);
}

}  // namespace

TEST_F(ReceiveLoopTest, BuffersBecomeWholeTextMessages) {
    const std::string big = bytes(65536, 'a') + bytes(65536, 'b') + bytes(65536, 'c');
    const ReceiveCase cases[] = {
        {"five-byte text", {fake::text("hello")}, {"hello"}},
        {"empty text", {fake::text("")}, {""}},
        {"zero byte inside", {fake::text(std::string("a\0b", 3))}, {std::string("a\0b", 3)}},
        {"three fragments",
         {fake::textFragment(bytes(65536, 'a')), fake::textFragment(bytes(65536, 'b')),
          fake::text(bytes(65536, 'c'))},
         {big}},
        {"order kept",
         {fake::text("one"), fake::text("two"), fake::text("three")},
         {"one", "two", "three"}},
        {"binary then text keeps the text intact",
         {fake::binary("\x01\x02\x03\x04"), fake::text("x")},
         {"x"}},
        {"binary fragments never queued",
         {fake::binaryFragment("ab"), fake::binary("cd"), fake::textFragment("t"), fake::text("u")},
         {"tu"}},
        {"only binary", {fake::binary("\x01\x02")}, {}},
    };
    for (const ReceiveCase& row : cases) {
        SCOPED_TRACE(row.name);
        fake::Script script;
        script.receives = row.steps;
        script.receives.push_back(fake::closeBuffer());
        connectWith(script);
        ASSERT_TRUE(waitForWorkerEnd());
        EXPECT_EQ(drainMessages(), row.expected);
        EXPECT_EQ(lastError(), "Server closed WebSocket connection");
        // Every receive is offered one buffer's worth, however large the message grows.
        for (const DWORD size : fake().record().receiveSizes) EXPECT_EQ(size, 65536u);
    }
}

TEST_F(ReceiveLoopTest, NothingIsQueuedBeforeTheLastBufferOfAMessage) {
    connectWith(fake::Script{});
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED));
    fake().pushReceive(fake::textFragment(bytes(65536, 'a')));
    fake().pushReceive(fake::textFragment(bytes(65536, 'b')));
    // Both fragments have been taken in once the loop waits in its third receive.
    ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls == 3; }));
    EXPECT_EQ(WsHasMessages(), 0);
    fake().pushReceive(fake::text("c"));
    ASSERT_TRUE(waitForMessages());
    const Messages messages = drainMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].size(), 2u * 65536 + 1);
}

TEST_F(ReceiveLoopTest, ServerCloseEndsDisconnectedWithTransportClosedAndQueueReadable) {
    fake::Script script;
    script.receives = {fake::text("kept"), fake::closeBuffer()};
    connectWith(script);
    ASSERT_TRUE(waitForWorkerEnd());
    EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
    EXPECT_EQ(lastError(), "Server closed WebSocket connection");
    EXPECT_EQ(fake().record().closeStatuses, std::vector<USHORT>{1000});
    EXPECT_EQ(closedKinds(),
              (std::vector<HandleKind>{HandleKind::Request, HandleKind::WebSocket,
                                       HandleKind::Connection, HandleKind::Session}));
    EXPECT_EQ(drainMessages(), Messages{"kept"});
    EXPECT_EQ(WsDisconnect(), WS_STATUS_DISCONNECTED);
}

TEST_F(ReceiveLoopTest, ReceiveFailureEndsDisconnectedWithItsCode) {
    fake::Script script;
    script.receives = {fake::textFragment("lost"), fake::failure(12030)};
    connectWith(script);
    ASSERT_TRUE(waitForWorkerEnd());
    EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
    EXPECT_EQ(lastError(), "WebSocketReceive failed (Error 12030)");
    EXPECT_EQ(WsHasMessages(), 0) << "an unfinished message is lost";
}

TEST_F(ReceiveLoopTest, ACountBeyondTheBufferIsNotTrusted) {
    fake::ReceiveStep lying = fake::text("abc");
    lying.reportedCount = 1u << 20;
    fake::Script script;
    script.receives = {lying, fake::closeBuffer()};
    connectWith(script);
    ASSERT_TRUE(waitForWorkerEnd());
    const Messages messages = drainMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].size(), 65536u);
}

TEST_F(ReceiveLoopTest, StopSeenAtTheTopOfAPassKeepsConnected) {
    // The pending receive returns data as the disconnect closes the handle; the loop then finds
    // the stop request and ends without another receive and without a new text.
    fake::ReceiveStep lastData = fake::text("last");
    lastData.untilClosed = true;
    fake::Script script;
    script.receives = {lastData};
    connectWith(script);
    ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls == 1; }));
    EXPECT_EQ(WsDisconnect(), WS_STATUS_DISCONNECTED);
    EXPECT_EQ(lastError(), "Connected");
    EXPECT_EQ(fake().record().receiveCalls, 1);
    EXPECT_EQ(drainMessages(), Messages{"last"});
}
