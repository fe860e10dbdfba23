// The handshake with extra request headers, over the fake transport: where the headers go in
// the sequence, and the check of the server's subprotocol against the offer.
#include <algorithm>

#include "tests/fake/bridge_fixture.h"

namespace {

using fake::HandleKind;
using fake::Operation;
using Kinds = std::vector<HandleKind>;

constexpr const char16_t* offer = u"Sec-WebSocket-Protocol: chat, superchat\r\nX-Id: 7";

class SubprotocolTest : public BridgeTest {
  protected:
    static void connectOffering(fake::Script script, const char16_t* headers = offer) {
        WsDisconnect();
        fake().reset(std::move(script));
        ASSERT_EQ(WsConnectWithHeaders(u"server.test", 443, u"/", 1, headers), 1);
    }

    static std::size_t indexOf(const std::vector<Operation>& calls, Operation operation) {
        return static_cast<std::size_t>(std::find(calls.begin(), calls.end(), operation) -
                                        calls.begin());
    }
};

}  // namespace

TEST_F(SubprotocolTest, HeadersAreAddedAfterTheUpgradeOptionAndBeforeTheRequestIsSent) {
    fake::Script script;
    script.responseProtocols = {u"chat"};
    connectOffering(script);
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED)) << lastError();
    const std::vector<Operation> calls = fake().record().calls;
    EXPECT_EQ(indexOf(calls, Operation::AddRequestHeaders),
              indexOf(calls, Operation::SetOption) + 1);
    EXPECT_EQ(indexOf(calls, Operation::SendRequest),
              indexOf(calls, Operation::AddRequestHeaders) + 1);
    // The selection is read before the upgrade completes: the request handle is closed after.
    EXPECT_LT(indexOf(calls, Operation::ReceiveResponse), indexOf(calls, Operation::QueryHeaders));
    EXPECT_LT(indexOf(calls, Operation::QueryHeaders), indexOf(calls, Operation::CompleteUpgrade));
}

TEST_F(SubprotocolTest, TheServerMustSelectExactlyOneOfThoseOffered) {
    struct Row {
        const char* name;
        std::vector<std::u16string> selected;  // each Sec-WebSocket-Protocol of the response
        bool accepted;
    };
    const Row rows[] = {
        {"one offered", {u"chat"}, true},
        {"the other one offered", {u"superchat"}, true},
        {"none selected", {}, false},
        {"one not offered", {u"mqtt"}, false},
        {"case differs", {u"Chat"}, false},
        {"a list", {u"chat, superchat"}, false},
        {"twice", {u"chat", u"chat"}, false},
        {"longer than any offered", {u"superchat-and-more"}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake::Script script;
        script.responseProtocols = row.selected;
        connectOffering(script);
        if (row.accepted) {
            EXPECT_TRUE(waitForStatus(WS_STATUS_CONNECTED)) << lastError();
            continue;
        }
        ASSERT_TRUE(waitForStatus(WS_STATUS_ERROR));
        EXPECT_EQ(lastError(), "WinHttpWebSocketCompleteUpgrade failed");
        EXPECT_EQ(closedKinds(),
                  (Kinds{HandleKind::Request, HandleKind::Connection, HandleKind::Session}));
        const auto calls = fake().record().calls;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), Operation::CompleteUpgrade), 0);
    }
}

TEST_F(SubprotocolTest, WithoutAnOfferTheSelectionIsNotAskedFor) {
    fake::Script script;
    script.responseProtocols = {u"chat"};
    connectOffering(script, u"Authorization: Bearer x");
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED)) << lastError();
    const auto calls = fake().record().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), Operation::QueryHeaders), 0);
}

TEST_F(SubprotocolTest, AFailedAddRecordsItsTextAndClosesWhatWasOpened) {
    fake::Script script;
    script.failAt = Operation::AddRequestHeaders;
    connectOffering(script);
    ASSERT_TRUE(waitForStatus(WS_STATUS_ERROR));
    EXPECT_EQ(lastError(), "WinHttpAddRequestHeaders failed");
    EXPECT_EQ(closedKinds(),
              (Kinds{HandleKind::Request, HandleKind::Connection, HandleKind::Session}));
    char reason[8];
    EXPECT_EQ(WsGetCloseStatus(reason, sizeof reason), 1006) << "a failed handshake";
}
