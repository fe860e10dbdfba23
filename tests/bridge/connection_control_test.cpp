#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <future>

#include "bridge/bridge_state.h"
#include "tests/fake/bridge_fixture.h"

using fake::HandleKind;
using fake::Operation;

namespace {

class ConnectionControlTest : public BridgeTest {};

std::size_t countOf(const std::vector<Operation>& calls, Operation operation) {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), operation));
}

// Index of the n-th (from 0) occurrence of the operation in the calls, or the size if absent.
std::size_t indexOf(const std::vector<Operation>& calls, Operation operation, int n = 0) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i] == operation && n-- == 0) return i;
    }
    return calls.size();
}

}  // namespace

TEST_F(ConnectionControlTest, DisconnectWithNothingRunningIsHarmlessTwice) {
    WsDisconnect();
    fake().reset(fake::Script{});
    EXPECT_EQ(WsDisconnect(), WS_STATUS_DISCONNECTED);
    EXPECT_EQ(WsDisconnect(), WS_STATUS_DISCONNECTED);
    EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
    EXPECT_TRUE(fake().record().calls.empty());
}

TEST_F(ConnectionControlTest, DisconnectWhileConnectedClosesWith1000AndJoins) {
    struct Row {
        bool closeBuffer;
        const char* text;
    };
    const Row rows[] = {{false, "WebSocketReceive failed (Error 12017)"},
                        {true, "Server closed WebSocket connection"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        fake::Script script;
        script.closeEndsWithCloseBuffer = row.closeBuffer;
        connectWith(script);
        ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls == 1; }));
        EXPECT_EQ(WsDisconnect(), WS_STATUS_DISCONNECTED);
        const fake::Record record = fake().record();
        EXPECT_EQ(record.closeStatuses, std::vector<USHORT>{1000});
        EXPECT_EQ(record.receivesReturned, 1) << "the worker has ended";
        EXPECT_EQ(closedKinds(),
                  (std::vector<HandleKind>{HandleKind::Request, HandleKind::WebSocket,
                                           HandleKind::Connection, HandleKind::Session}));
        EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
        EXPECT_EQ(lastError(), row.text);
    }
}

TEST_F(ConnectionControlTest, DisconnectWhileConnectingWaitsForTheHandshake) {
    fake::Script script;
    script.holdHandshake = true;
    connectWith(script);
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTING));
    auto disconnect = std::async(std::launch::async, [] { return WsDisconnect(); });
    EXPECT_EQ(disconnect.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    fake().releaseHandshake();
    ASSERT_EQ(disconnect.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(disconnect.get(), WS_STATUS_DISCONNECTED);
    EXPECT_EQ(lastError(), "Connected") << "the handshake succeeded before the stop took effect";
    EXPECT_EQ(fake().record().receiveCalls, 0) << "the stop was seen before any receive";
    EXPECT_EQ(fake().record().closeStatuses, std::vector<USHORT>{1000});
}

TEST_F(ConnectionControlTest, ConnectWhileConnectedReplacesTheConnection) {
    fake::Script script;
    script.receives = {fake::text("old")};
    connectWith(script, u"first.test");
    ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls == 2; }));
    ASSERT_EQ(WsHasMessages(), 1);

    ASSERT_EQ(WsConnect(u"second.test", 443, u"/", 1), 1);
    EXPECT_EQ(WsHasMessages(), 0) << "messages of the old connection are discarded";
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED));
    const fake::Record record = fake().record();
    EXPECT_EQ(record.host, u"second.test");
    EXPECT_EQ(countOf(record.calls, Operation::Open), 2u);
    // The old WebSocket was closed and its session let go before the new session was opened.
    ASSERT_GE(record.closedHandles.size(), 4u);
    EXPECT_EQ(record.closedHandles[3].kind, HandleKind::Session);
    EXPECT_LT(indexOf(record.calls, Operation::WebSocketClose),
              indexOf(record.calls, Operation::Open, 1));
}

TEST_F(ConnectionControlTest, QuickSecondConnectJoinsTheFirstWorkerFirst) {
    for (int round = 0; round < 20; ++round) {
        WsDisconnect();
        fake().reset(fake::Script{});
        ASSERT_EQ(WsConnect(u"a.test", 1, u"/", 0), 1);
        ASSERT_EQ(WsConnect(u"b.test", 2, u"/", 0), 1);
        ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED));
        ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) {
            return std::count(r.calls.begin(), r.calls.end(), Operation::Receive) >= 1 &&
                   std::count(r.calls.begin(), r.calls.end(), Operation::Open) == 2;
        }));
        const fake::Record record = fake().record();
        // Every handle of the first worker is closed before the second one opens a session.
        const std::size_t secondOpen = indexOf(record.calls, Operation::Open, 1);
        EXPECT_GE(countOf({record.calls.begin(), record.calls.begin() + secondOpen},
                          Operation::CloseHandle),
                  4u);
        EXPECT_EQ(record.host, u"b.test");
    }
}

TEST_F(ConnectionControlTest, ConnectAfterServerCloseOrFailureNeedsNoDisconnect) {
    fake::Script closing;
    closing.receives = {fake::closeBuffer()};
    connectWith(closing);
    ASSERT_TRUE(waitForWorkerEnd());
    fake::Script failing;
    failing.failAt = Operation::Connect;
    fake().reset(failing);
    ASSERT_EQ(WsConnect(u"server.test", 443, u"/", 1), 1);
    ASSERT_TRUE(waitForStatus(WS_STATUS_ERROR));
    fake().reset(fake::Script{});
    ASSERT_EQ(WsConnect(u"server.test", 443, u"/", 1), 1);
    EXPECT_TRUE(waitForStatus(WS_STATUS_CONNECTED));
}

TEST_F(ConnectionControlTest, SetLastErrorTextKeeps511Bytes) {
    const std::string long_text(600, 'x');
    wsbridge::setLastErrorText(long_text.c_str());
    EXPECT_EQ(lastError(), std::string(511, 'x'));
}

TEST_F(ConnectionControlTest, LastErrorCapacityRules) {
    wsbridge::setLastErrorText("Connected");
    char buffer[16];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(WsGetLastError(buffer, 5), 4);
    EXPECT_STREQ(buffer, "Conn");
    EXPECT_EQ(WsGetLastError(buffer, 1), 0);
    EXPECT_EQ(buffer[0], '\0');
    buffer[0] = 'z';
    EXPECT_EQ(WsGetLastError(buffer, 0), 0);
    EXPECT_EQ(WsGetLastError(nullptr, 16), 0);
    EXPECT_EQ(buffer[0], 'z') << "nothing written for a bad capacity";
    EXPECT_EQ(WsGetLastError(buffer, 16), 9);
    EXPECT_EQ(std::string(buffer, 16), std::string("Connected\0\0\0\0\0\0\0", 16));
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {

// Runs the body in a freshly started child process (the death-test machinery re-executes the
// test binary, so no thread stacks are cached from earlier tests) whose address space may grow
// only by the given amount; the child's exit code is the body's result.
void runWithAddressSpaceLeft(std::size_t bytesLeft, int (*body)()) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto limited = [&] {
        std::ifstream statm("/proc/self/statm");
        std::size_t pages = 0;
        statm >> pages;
        const rlim_t limit = pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) + bytesLeft;
        const rlimit bound{limit, limit};
        setrlimit(RLIMIT_AS, &bound);
        std::exit(body());
    };
    EXPECT_EXIT(limited(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

TEST_F(ConnectionControlTest, ConnectThatCannotStartAThreadReturnsZeroWithAText) {
    runWithAddressSpaceLeft(1 << 20, [] {
        if (WsConnect(u"server.test", 443, u"/", 1) != 0) return 1;
        if (WsGetStatus() != WS_STATUS_ERROR) return 2;
        if (lastError() != "WsConnect failed: could not start worker thread") return 3;
        return 0;
    });
}

TEST_F(ConnectionControlTest, WorkerOutOfMemoryEndsLikeAReceiveFailure) {
    fake::Script script;
    fake::ReceiveStep fragment = fake::textFragment("");
    fragment.reportedCount = 65536;          // 64 KiB of the receive buffer, per step
    script.receives.assign(4096, fragment);  // 256 MiB in all
    fake().reset(script);
    runWithAddressSpaceLeft(64 << 20, [] {
        if (WsConnect(u"server.test", 443, u"/", 1) != 1) return 1;
        if (!fake().waitUntil([](const fake::Record& r) {
                return !r.closedHandles.empty() &&
                       r.closedHandles.back().kind == HandleKind::Session;
            })) {
            return 2;
        }
        if (!waitForStatus(WS_STATUS_DISCONNECTED)) return 3;
        if (lastError() != "WebSocketReceive failed: out of memory") return 4;
        if (fake().record().closeStatuses != std::vector<USHORT>{1000}) return 5;
        if (WsHasMessages() != 0 || WsSendMessage(u"x") != 0) return 6;
        return 0;
    });
}
#endif
