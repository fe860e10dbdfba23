#include <cstring>

#include "tests/fake/bridge_fixture.h"

using fake::HandleKind;
using fake::Operation;
using Kinds = std::vector<HandleKind>;

namespace {

struct FailingStep {
    Operation step;
    const char* text;
    Kinds closed;
};

const FailingStep failingSteps[] = {
    {Operation::Open, "WinHttpOpen failed", {}},
    {Operation::Connect, "WinHttpConnect failed", {HandleKind::Session}},
    {Operation::OpenRequest,
     "WinHttpOpenRequest failed",
     {HandleKind::Connection, HandleKind::Session}},
    {Operation::SetOption,
     "WinHttpSetOption WebSocket upgrade failed",
     {HandleKind::Request, HandleKind::Connection, HandleKind::Session}},
    {Operation::SendRequest,
     "WinHttpSendRequest to 'server.test' failed (Error 12029)",
     {HandleKind::Request, HandleKind::Connection, HandleKind::Session}},
    {Operation::ReceiveResponse,
     "WinHttpReceiveResponse failed",
     {HandleKind::Request, HandleKind::Connection, HandleKind::Session}},
    {Operation::CompleteUpgrade,
     "WinHttpWebSocketCompleteUpgrade failed",
     {HandleKind::Request, HandleKind::Connection, HandleKind::Session}},
};

class HandshakeTest : public BridgeTest {};

}  // namespace

TEST_F(HandshakeTest, EachFailingStepRecordsItsTextAndClosesWhatWasOpened) {
    for (const FailingStep& row : failingSteps) {
        SCOPED_TRACE(fake::operationName(row.step));
        fake::Script script;
        script.failAt = row.step;
        connectWith(script);
        ASSERT_TRUE(waitForStatus(WS_STATUS_ERROR));
        EXPECT_EQ(lastError(), row.text);
        EXPECT_EQ(closedKinds(), row.closed);
        EXPECT_EQ(fake().record().receiveCalls, 0);
        EXPECT_EQ(WsDisconnect(), WS_STATUS_ERROR);
        EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
        EXPECT_EQ(lastError(), row.text) << "disconnect keeps the failure text";
    }
}

TEST_F(HandshakeTest, SendRequestTextShowsTheErrorCodeUnsigned) {
    fake::Script script;
    script.failAt = Operation::SendRequest;
    script.sendRequestError = 0xFFFFFFFFu;
    connectWith(script, u"h\u00e9st");
    ASSERT_TRUE(waitForStatus(WS_STATUS_ERROR));
    EXPECT_EQ(lastError(), "WinHttpSendRequest to 'h\xc3\xa9st' failed (Error 4294967295)");
}

TEST_F(HandshakeTest, SendRequestTextKeepsALongHostWithin127Bytes) {
    const std::u16string host(200, u'\u00e9');  // 400 bytes once converted
    fake::Script script;
    script.failAt = Operation::SendRequest;
    connectWith(script, host.c_str());
    ASSERT_TRUE(waitForStatus(WS_STATUS_ERROR));
    const std::string text = lastError();
    const std::string prefix = "WinHttpSendRequest to '";
    const std::string suffix = "' failed (Error 12029)";
    ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
    ASSERT_GE(text.size(), prefix.size() + suffix.size());
    EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
    EXPECT_LE(text.size() - prefix.size() - suffix.size(), 127u);
}

TEST_F(HandshakeTest, SuccessfulHandshakePassesTheContractArguments) {
    connectWith(fake::Script{}, u"server.test", 8443, u"/feed?x=1", 1);
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED));
    ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls > 0; }));
    EXPECT_EQ(lastError(), "Connected");
    const fake::Record record = fake().record();
    EXPECT_EQ(record.userAgent, u"Velmoro_Tindlex/2.0");
    EXPECT_EQ(record.accessType, 0u);
    EXPECT_TRUE(record.proxyArgumentsNull);
    EXPECT_EQ(record.openFlags, 0u);
    EXPECT_EQ(record.host, u"server.test");
    EXPECT_EQ(record.port, 8443);
    EXPECT_EQ(record.verb, u"GET");
    EXPECT_EQ(record.path, u"/feed?x=1");
    EXPECT_TRUE(record.requestDefaultsNull);
    EXPECT_EQ(record.requestFlags, 0x00800000u);
    EXPECT_EQ(record.option, 114u);
    EXPECT_TRUE(record.optionBufferEmpty);
    // The request handle is closed as soon as the upgrade is complete.
    EXPECT_EQ(closedKinds(), Kinds{HandleKind::Request});
}

TEST_F(HandshakeTest, PortIsItsLow16BitsAndNeverDerivedFromTheFlag) {
    struct Row {
        int port;
        int secure;
        INTERNET_PORT expectedPort;
        DWORD expectedFlags;
    };
    const Row rows[] = {{65536 + 80, 1, 80, 0x00800000u},
                        {-1, 1, 65535, 0x00800000u},
                        {443, 0, 443, 0},
                        {0, 0, 0, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.port);
        connectWith(fake::Script{}, u"server.test", row.port, u"/", row.secure);
        ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED));
        EXPECT_EQ(fake().record().port, row.expectedPort);
        EXPECT_EQ(fake().record().requestFlags, row.expectedFlags);
    }
}

TEST_F(HandshakeTest, NullHostAndPathAreStoredAsEmptyTexts) {
    connectWith(fake::Script{}, nullptr, 80, nullptr, 0);
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED));
    EXPECT_EQ(fake().record().host, u"");
    EXPECT_EQ(fake().record().path, u"");
}

TEST_F(HandshakeTest, WhileConnectingThePreviousTextStands) {
    fake::Script failing;
    failing.failAt = Operation::ReceiveResponse;
    connectWith(failing);
    ASSERT_TRUE(waitForStatus(WS_STATUS_ERROR));

    fake::Script held;
    held.holdHandshake = true;
    connectWith(held);
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTING));
    EXPECT_EQ(lastError(), "WinHttpReceiveResponse failed");
    fake().releaseHandshake();
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED));
}
