#include <cstring>
#include <future>

#include "bridge/bridge_state.h"
#include "tests/fake/bridge_fixture.h"

namespace {

class MessageExchangeTest : public BridgeTest {
  protected:
    void connectAndWait(fake::Script script = {}) {
        connectWith(std::move(script));
        ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls > 0; }));
        ASSERT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
    }
};

}  // namespace

TEST_F(MessageExchangeTest, SendConvertsToUtf8AndSendsOneTextMessage) {
    connectAndWait();
    EXPECT_EQ(WsSendMessage(u"caf\u00e9"), 1);
    const auto sends = fake().record().sends;
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].first, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE);
    EXPECT_EQ(sends[0].second, "caf\xc3\xa9");
}

TEST_F(MessageExchangeTest, SendIsRefusedWithoutAnOpenConnection) {
    WsDisconnect();
    fake().reset(fake::Script{});
    EXPECT_EQ(WsSendMessage(u"x"), 0) << "disconnected";

    fake::Script failing;
    failing.failAt = fake::Operation::SendRequest;
    connectWith(failing);
    ASSERT_TRUE(waitForStatus(WS_STATUS_ERROR));
    EXPECT_EQ(WsSendMessage(u"x"), 0) << "error";

    fake::Script held;
    held.holdHandshake = true;
    connectWith(held);
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTING));
    EXPECT_EQ(WsSendMessage(u"x"), 0) << "connecting";
    fake().releaseHandshake();

    connectAndWait();
    EXPECT_EQ(WsSendMessage(nullptr), 0);
    EXPECT_EQ(WsSendMessage(u""), 0);
    EXPECT_TRUE(fake().record().sends.empty());
}

TEST_F(MessageExchangeTest, SendIsRefusedWhileHandlePublishedButStillConnecting) {
    // The worker publishes its handles a moment before it stores Connected.
    wsbridge::BridgeState& state = wsbridge::bridgeState();
    WsDisconnect();
    fake().reset(fake::Script{});
    {
        std::lock_guard<std::mutex> lock(state.handleLock);
        state.webSocketHandle = reinterpret_cast<HINTERNET>(0x1);
    }
    state.status = wsbridge::ConnectionStatus::Connecting;
    EXPECT_EQ(WsSendMessage(u"x"), 0);
    {
        std::lock_guard<std::mutex> lock(state.handleLock);
        state.webSocketHandle = nullptr;
    }
    state.status = wsbridge::ConnectionStatus::Disconnected;
    EXPECT_TRUE(fake().record().sends.empty());
}

TEST_F(MessageExchangeTest, RefusedSendChangesNeitherStatusNorText) {
    fake::Script script;
    script.sendResult = ERROR_WINHTTP_CONNECTION_ERROR;
    connectAndWait(script);
    EXPECT_EQ(WsSendMessage(u"x"), 0);
    EXPECT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
    EXPECT_EQ(lastError(), "Connected");
}

TEST_F(MessageExchangeTest, SendDuringACloseWaitsThenFindsNoHandle) {
    fake::Script script;
    script.webSocketCloseDelay = std::chrono::milliseconds(200);
    connectAndWait(script);
    auto disconnect = std::async(std::launch::async, [] { return WsDisconnect(); });
    ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return !r.closeStatuses.empty(); }));
    EXPECT_EQ(WsSendMessage(u"late"), 0);
    EXPECT_EQ(disconnect.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(fake().record().sends.empty());
}

TEST_F(MessageExchangeTest, ReadCapacityRules) {
    fake::Script script;
    script.receives = {fake::text("0123456789"), fake::text("0123456789"), fake::text("abc"),
                       fake::text(""), fake::closeBuffer()};
    connectWith(script);
    ASSERT_TRUE(waitForWorkerEnd());
    char buffer[16];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(WsReadMessage(buffer, 0), 0);
    EXPECT_EQ(WsReadMessage(buffer, -1), 0);
    EXPECT_EQ(WsReadMessage(nullptr, 16), 0);
    EXPECT_EQ(buffer[0], 'z') << "a bad buffer leaves everything alone";

    EXPECT_EQ(WsReadMessage(buffer, 10), 9);
    EXPECT_STREQ(buffer, "012345678");
    EXPECT_EQ(WsReadMessage(buffer, 11), 10);
    EXPECT_STREQ(buffer, "0123456789");
    EXPECT_EQ(WsReadMessage(buffer, 1), 0) << "removed although nothing of it fits";
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(WsHasMessages(), 1) << "the empty message is queued";
    buffer[0] = 'z';
    EXPECT_EQ(WsReadMessage(buffer, 16), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(WsHasMessages(), 0);
    buffer[0] = 'z';
    EXPECT_EQ(WsReadMessage(buffer, 16), 0) << "empty queue";
    EXPECT_EQ(buffer[0], '\0');
}
