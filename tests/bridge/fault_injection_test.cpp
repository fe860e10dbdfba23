// Every transport operation of a scenario fails in turn (the n-th call, n = 0, 1, 2, ...) until
// the scenario runs untouched; after each run the library's invariants must hold.
#include <algorithm>
#include <cstdio>
#include <future>
#include <map>

#include "tests/fake/bridge_fixture.h"

namespace {

using fake::HandleKind;

class FaultInjectionTest : public BridgeTest {
  protected:
    // Waits until the handshake has ended one way or the other and, if it succeeded, until the
    // scripted messages are in and the worker waits in a receive again (or has ended).
    static void waitForSettled(int expectedReceives) {
        ASSERT_TRUE(eventually([&](const fake::Record& r) {
            const int status = WsGetStatus();
            return status == WS_STATUS_ERROR ||
                   (status == WS_STATUS_DISCONNECTED && r.receiveCalls > 0) ||
                   (status == WS_STATUS_CONNECTED && r.receiveCalls >= expectedReceives) ||
                   (status == WS_STATUS_DISCONNECTED && !r.calls.empty() &&
                    r.closedHandles.size() == r.openedHandles.size());
        })) << "the scenario did not settle";
    }

    static void connectAndSettle() {
        ASSERT_EQ(WsConnect(u"server.test", 443, u"/", 1), 1);
        waitForSettled(3);
    }

    static void expectInvariants() {
        // Both locks are free: these calls take them and must return at once.
        auto probe = std::async(std::launch::async, [] {
            WsHasMessages();
            return WsSendMessage(u"probe");
        });
        ASSERT_EQ(probe.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(probe.get(), 0) << "nothing can be sent after a disconnect";
        EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
        std::map<HINTERNET, int> closes;
        const fake::Record record = fake().record();
        for (const auto& closed : record.closedHandles) ++closes[closed.handle];
        for (HINTERNET opened : record.openedHandles) {
            EXPECT_EQ(closes[opened], 1) << "every opened handle is closed exactly once";
        }
        EXPECT_EQ(record.closedHandles.size(), record.openedHandles.size());
    }

    // Runs the scenario with the n-th operation failing, for every n until it runs untouched.
    static void failEachOperationInTurn(void (*scenario)()) {
        for (int n = 0; n < 200; ++n) {
            SCOPED_TRACE(n);
            WsDisconnect();
            fake::Script script;
            script.receives = {fake::textFragment("he"), fake::text("llo")};
            script.failOperationNumber = n;
            fake().reset(script);
            scenario();
            if (HasFatalFailure()) return;
            WsDisconnect();
            expectInvariants();
            if (static_cast<int>(fake().record().calls.size()) <= n) {
                RecordProperty("operations", n);
                std::printf("untouched after failing each of %d operations\n", n);
                return;
            }
        }
        ADD_FAILURE() << "the scenario never ran untouched";
    }
};

}  // namespace

TEST_F(FaultInjectionTest, ConnectReceiveDisconnect) {
    failEachOperationInTurn([] { connectAndSettle(); });
}

TEST_F(FaultInjectionTest, ConnectWithHeadersReceiveDisconnect) {
    failEachOperationInTurn([] {
        ASSERT_EQ(WsConnectWithHeaders(u"server.test", 443, u"/", 1, u"X-Id: 7"), 1);
        waitForSettled(3);
    });
}

TEST_F(FaultInjectionTest, ConnectWhileConnected) {
    failEachOperationInTurn([] {
        connectAndSettle();
        connectAndSettle();
    });
}

TEST_F(FaultInjectionTest, SendDuringReceive) {
    failEachOperationInTurn([] {
        connectAndSettle();
        for (int i = 0; i < 3; ++i) WsSendMessage(u"out");
    });
}

TEST_F(FaultInjectionTest, WorkerThatEndsByItselfNeverLeavesConnected) {
    for (const DWORD error : {DWORD{12030}, DWORD{0}}) {
        fake::Script script;
        script.receives = {error ? fake::failure(error) : fake::closeBuffer()};
        connectWith(script);
        ASSERT_TRUE(waitForWorkerEnd());
        EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
        EXPECT_EQ(WsSendMessage(u"x"), 0);
    }
}

TEST_F(FaultInjectionTest, TwoThreadsHammeringConnectAndDisconnectCannotDoubleJoin) {
    fake().reset(fake::Script{});
    const auto hammer = [](int seed) {
        for (int i = 0; i < 300; ++i) {
            if ((i + seed) % 3 == 0) {
                WsDisconnect();
            } else {
                WsConnect(u"server.test", 443, u"/", 1);
            }
        }
    };
    std::thread first(hammer, 0);
    std::thread second(hammer, 1);
    first.join();
    second.join();
    WsDisconnect();
    expectInvariants();
}
