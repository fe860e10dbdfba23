// WsWaitForMessage and WsGetMessageLength over the fake transport: what wakes a wait, what ends
// it, and the length of what WsReadMessage would return next.
#include <time.h>

#include <functional>
#include <future>
#include <vector>

#include "bridge/bridge_state.h"
#include "tests/fake/bridge_fixture.h"

namespace {

using namespace std::chrono_literals;

// Bounds that only turn a hang into a failure.
constexpr auto promptly = 5s;
constexpr int waiterThreads = 3;

class MessageWaitTest : public BridgeTest {
  protected:
    void connectAndWait(fake::Script script = {}) {
        connectWith(std::move(script));
        ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls > 0; }));
        ASSERT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
    }

    static int waiting() {
        wsbridge::BridgeState& state = wsbridge::bridgeState();
        std::lock_guard<std::mutex> lock(state.queueLock);
        return state.waiterCount;
    }

    // Starts `count` threads in WsWaitForMessage(timeoutMs) and returns once all of them sleep.
    static std::vector<std::future<int>> startWaiters(int count, int timeoutMs = -1) {
        std::vector<std::future<int>> waiters;
        for (int i = 0; i < count; ++i) {
            waiters.push_back(std::async(std::launch::async,
                                         [timeoutMs] { return WsWaitForMessage(timeoutMs); }));
        }
        const bool asleep = eventually([&](const fake::Record&) { return waiting() == count; });
        EXPECT_TRUE(asleep) << waiting() << " of " << count << " threads wait";
        return waiters;
    }

    // Every waiter has returned, each with `expected`.
    static void expectAllReturn(std::vector<std::future<int>>& waiters, int expected) {
        for (std::future<int>& waiter : waiters) {
            ASSERT_EQ(waiter.wait_for(promptly), std::future_status::ready) << "a waiter hangs";
            EXPECT_EQ(waiter.get(), expected);
        }
    }

    static double threadCpuSeconds() {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    }
};

}  // namespace

TEST_F(MessageWaitTest, AQueuedMessageAnswersAtOnceAndZeroNeverBlocks) {
    fake::Script script;
    script.receives = {fake::text("first")};
    connectAndWait(script);
    ASSERT_TRUE(waitForMessages());
    EXPECT_EQ(WsWaitForMessage(-1), 1);
    EXPECT_EQ(WsWaitForMessage(0), 1);
    EXPECT_EQ(WsHasMessages(), 1) << "waiting takes nothing from the queue";
    drainMessages();

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WsWaitForMessage(0), 0) << "connected, queue empty";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(MessageWaitTest, AMessageArrivingMidWaitWakesEveryWaiter) {
    connectAndWait();
    std::vector<std::future<int>> waiters = startWaiters(waiterThreads, 60'000);
    fake().pushReceive(fake::text("wake"));
    expectAllReturn(waiters, 1);
    EXPECT_EQ(drainMessages(), std::vector<std::string>{"wake"});
    EXPECT_EQ(waiting(), 0);
}

TEST_F(MessageWaitTest, TheTimeoutIsHonouredWithoutSpinning) {
    connectAndWait();
    constexpr int timeoutMs = 300;
    const auto start = std::chrono::steady_clock::now();
    const double cpuBefore = threadCpuSeconds();
    EXPECT_EQ(WsWaitForMessage(timeoutMs), 0);
    const double cpu = threadCpuSeconds() - cpuBefore;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(timeoutMs));
    EXPECT_LT(cpu, 0.05) << "the wait sleeps: " << cpu << " s of CPU in " << timeoutMs << " ms";
}

TEST_F(MessageWaitTest, WithNoConnectionUnderWayAnEmptyQueueAnswersZeroAtOnce) {
    WsDisconnect();
    fake().reset(fake::Script{});
    auto untouched = std::async(std::launch::async, [] { return WsWaitForMessage(-1); });
    ASSERT_EQ(untouched.wait_for(promptly), std::future_status::ready) << "never connected";
    EXPECT_EQ(untouched.get(), 0);

    fake::Script failing;
    failing.failAt = fake::Operation::ReceiveResponse;
    connectWith(failing);
    ASSERT_TRUE(waitForStatus(WS_STATUS_ERROR));
    auto failed = std::async(std::launch::async, [] { return WsWaitForMessage(-1); });
    ASSERT_EQ(failed.wait_for(promptly), std::future_status::ready) << "status 3";
    EXPECT_EQ(failed.get(), 0);

    fake::Script closing;
    closing.receives = {fake::text("kept"), fake::closeBuffer()};
    connectWith(closing);
    ASSERT_TRUE(waitForWorkerEnd());
    EXPECT_EQ(WsWaitForMessage(-1), 1) << "what came before the end is still read";
    drainMessages();
    auto ended = std::async(std::launch::async, [] { return WsWaitForMessage(-1); });
    ASSERT_EQ(ended.wait_for(promptly), std::future_status::ready) << "status 0 after the end";
    EXPECT_EQ(ended.get(), 0);
}

TEST_F(MessageWaitTest, RightAfterConnectTheWaitIsForTheNewConnection) {
    fake::Script held;
    held.holdHandshake = true;
    connectWith(held);  // the status may still read 0: the worker need not have started
    constexpr int timeoutMs = 200;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WsWaitForMessage(timeoutMs), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(timeoutMs))
        << "a connection being opened is waited for";
}

TEST_F(MessageWaitTest, EachWayAConnectionEndsWakesEveryWaiterWithZero) {
    struct Ending {
        const char* name;
        bool inHandshake;  // the waiters start while the handshake is held
        std::function<void()> end;
    };
    const Ending endings[] = {
        {"server close", false, [] { fake().pushReceive(fake::closeBuffer()); }},
        {"receive failure", false, [] { fake().pushReceive(fake::failure(12030)); }},
        {"failed handshake", true, [] { fake().releaseHandshake(); }},
        {"WsDisconnect", false, [] { WsDisconnect(); }},
        {"WsConnect", false, [] { WsConnect(u"next.test", 443, u"/", 1); }},
        {"unload", false, [] { wsbridge::onLibraryUnload(DLL_PROCESS_DETACH); }},
    };
    for (const Ending& ending : endings) {
        SCOPED_TRACE(ending.name);
        fake::Script script;
        if (ending.inHandshake) {
            script.holdHandshake = true;
            script.failAt = fake::Operation::SendRequest;
            connectWith(script);
            ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTING));
        } else {
            connectAndWait(script);
        }
        std::vector<std::future<int>> waiters = startWaiters(waiterThreads);
        auto ended = std::async(std::launch::async, ending.end);
        expectAllReturn(waiters, 0);
        ASSERT_EQ(ended.wait_for(promptly), std::future_status::ready);
    }
}

TEST_F(MessageWaitTest, AWaitDuringAConnectFromAnotherThreadEnds) {
    fake::Script held;
    held.holdHandshake = true;
    connectWith(held);
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTING));
    std::vector<std::future<int>> waiters = startWaiters(1);
    // The new WsConnect waits for the handshake under way, as WsDisconnect does.
    auto connecting =
        std::async(std::launch::async, [] { return WsConnect(u"next.test", 443, u"/", 1); });
    EXPECT_EQ(connecting.wait_for(100ms), std::future_status::timeout);
    fake().releaseHandshake();
    expectAllReturn(waiters, 0);
    ASSERT_EQ(connecting.wait_for(promptly), std::future_status::ready);
    EXPECT_EQ(connecting.get(), 1);
}

TEST_F(MessageWaitTest, NoWakeUpIsMissedWhenTheMessageRacesTheWait) {
    connectAndWait();
    constexpr int rounds = 300;
    for (int round = 0; round < rounds; ++round) {
        auto sender = std::async(
            std::launch::async, [round] { fake().pushReceive(fake::text(std::to_string(round))); });
        ASSERT_EQ(WsWaitForMessage(10'000), 1) << "round " << round;
        ASSERT_EQ(drainMessages(), std::vector<std::string>{std::to_string(round)});
        sender.get();
    }
}

TEST_F(MessageWaitTest, LengthIsThatOfTheNextMessageInOrder) {
    const std::string kib64(65536, 'a');
    fake::Script script;
    script.receives = {fake::text(""),    fake::text(std::string(65535, 'b')),
                       fake::text(kib64), fake::textFragment(kib64),
                       fake::text("c"),   fake::closeBuffer()};
    EXPECT_EQ(WsGetMessageLength(), -1) << "nothing queued";
    connectWith(script);
    ASSERT_TRUE(waitForWorkerEnd());
    std::vector<char> buffer(65538);
    for (const int length : {0, 65535, 65536, 65537}) {
        SCOPED_TRACE(length);
        ASSERT_EQ(WsGetMessageLength(), length);
        EXPECT_EQ(WsGetMessageLength(), length) << "asking takes nothing";
        EXPECT_EQ(WsReadMessage(buffer.data(), length + 1), length) << "a buffer of length + 1";
    }
    EXPECT_EQ(WsGetMessageLength(), -1);
}
