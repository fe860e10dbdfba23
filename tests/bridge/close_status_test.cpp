// WsGetCloseStatus over the fake transport: when the close status is known, what it says for
// each way a connection ends, and where in the close sequence the transport is asked for it.
#include <algorithm>
#include <cstring>

#include "tests/fake/bridge_fixture.h"

namespace {

using fake::Operation;

struct Status {
    int code;
    std::string reason;
    bool operator==(const Status&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Status& status) {
    return out << status.code << " '" << status.reason << "'";
}

class CloseStatusTest : public BridgeTest {
  protected:
    static Status closeStatus() {
        char reason[128];
        std::memset(reason, 'z', sizeof reason);
        const int code = WsGetCloseStatus(reason, sizeof reason);
        return {code, reason};
    }

    static fake::Script closedByServer(USHORT code, std::string reason = "") {
        fake::Script script;
        script.serverClose = fake::Script::ServerClose{code, std::move(reason)};
        return script;
    }
};

}  // namespace

TEST_F(CloseStatusTest, EachWayAConnectionEndsGivesItsCodeAndReason) {
    struct Ending {
        const char* name;
        fake::Script script;
        std::vector<fake::ReceiveStep> receives;  // empty: ended by WsDisconnect
        Status expected;
    };
    const std::string longest(123, 'r');
    fake::Script failedHandshake;
    failedHandshake.failAt = Operation::ReceiveResponse;
    const Ending endings[] = {
        {"server close 1000", closedByServer(1000), {fake::closeBuffer()}, {1000, ""}},
        {"server close 4000 with a reason",
         closedByServer(4000, "bye"),
         {fake::closeBuffer()},
         {4000, "bye"}},
        {"reason of 123 bytes",
         closedByServer(4999, longest),
         {fake::closeBuffer()},
         {4999, longest}},
        {"close frame without a code", closedByServer(1005), {fake::closeBuffer()}, {1005, ""}},
        {"receive failure", {}, {fake::failure(12030)}, {1006, ""}},
        {"failed handshake", failedHandshake, {}, {1006, ""}},
        {"our close answered", closedByServer(1000), {}, {1000, ""}},
        {"our close not answered", {}, {}, {1006, ""}},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.name);
        fake::Script script = ending.script;
        script.receives = ending.receives;
        connectWith(script);
        if (ending.receives.empty()) {
            ASSERT_TRUE(eventually([](const fake::Record& r) {
                return r.receiveCalls > 0 || WsGetStatus() == WS_STATUS_ERROR;
            }));
            if (WsGetStatus() == WS_STATUS_CONNECTED) {
                EXPECT_EQ(closeStatus(), (Status{0, ""})) << "not ended yet";
                WsDisconnect();
            }
        } else {
            ASSERT_TRUE(waitForWorkerEnd());
        }
        EXPECT_EQ(closeStatus(), ending.expected);
        WsDisconnect();
        EXPECT_EQ(closeStatus(), ending.expected) << "a later WsDisconnect keeps it";
    }
}

TEST_F(CloseStatusTest, ZeroFromEachConnectUntilItsEnd) {
    connectWith(closedByServer(4001, "first"));
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED));
    EXPECT_EQ(closeStatus(), (Status{0, ""}));
    fake().pushReceive(fake::closeBuffer());
    ASSERT_TRUE(waitForWorkerEnd());
    EXPECT_EQ(closeStatus(), (Status{4001, "first"}));

    fake::Script held;
    held.holdHandshake = true;
    fake().reset(held);
    ASSERT_EQ(WsConnect(u"server.test", 443, u"/", 1), 1);
    EXPECT_EQ(closeStatus(), (Status{0, ""})) << "reset by the next WsConnect at once";
    fake().releaseHandshake();
}

TEST_F(CloseStatusTest, TheReasonBufferFollowsTheCapacityRules) {
    connectWith(closedByServer(4000, "goodbye"));
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED));
    fake().pushReceive(fake::closeBuffer());
    ASSERT_TRUE(waitForWorkerEnd());
    char reason[8];
    std::memset(reason, 'z', sizeof reason);
    EXPECT_EQ(WsGetCloseStatus(reason, 4), 4000);
    EXPECT_STREQ(reason, "goo") << "cut to capacity - 1";
    EXPECT_EQ(WsGetCloseStatus(reason, 1), 4000);
    EXPECT_EQ(reason[0], '\0');
    reason[0] = 'z';
    EXPECT_EQ(WsGetCloseStatus(reason, 0), 4000);
    EXPECT_EQ(WsGetCloseStatus(reason, -1), 4000);
    EXPECT_EQ(WsGetCloseStatus(nullptr, 8), 4000);
    EXPECT_EQ(reason[0], 'z') << "nothing written for a bad capacity";
}

TEST_F(CloseStatusTest, AskedBetweenOurCloseAndClosingTheHandleOnly) {
    connectWith(closedByServer(1000));
    ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls > 0; }));
    WsDisconnect();
    const std::vector<Operation> calls = fake().record().calls;
    const auto close = std::find(calls.begin(), calls.end(), Operation::WebSocketClose);
    ASSERT_NE(close, calls.end());
    ASSERT_LT(close + 2, calls.end());
    EXPECT_EQ(close[1], Operation::QueryCloseStatus);
    EXPECT_EQ(close[2], Operation::CloseHandle);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), Operation::QueryCloseStatus), 1);
}
