// The queue between the worker and the host's readers: its two sides (the worker's, and the
// batch a reader takes over in one exchange), the storage it reuses, and readers racing the
// worker.
#include <algorithm>
#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "bridge/bridge_state.h"
#include "tests/fake/bridge_fixture.h"

namespace {

using namespace std::chrono_literals;
using Messages = std::vector<std::string>;

class MessageQueueTest : public BridgeTest {
  protected:
    // Connected, with the worker waiting in its first receive for what the test pushes.
    void connectAndWaitInReceive() {
        connectWith(fake::Script{});
        ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls > 0; }));
        ASSERT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
    }

    // Every message queued on either side holds at most twice its size in storage.
    static void expectEveryQueuedMessageSnug() {
        wsbridge::BridgeState& state = wsbridge::bridgeState();
        const std::lock_guard<std::mutex> readLock(state.readLock);
        const std::lock_guard<std::mutex> queueLock(state.queueLock);
        std::size_t queued = 0;
        const auto check = [&](const wsbridge::Message& message) {
            ++queued;
            EXPECT_LE(message.capacity(), 2 * message.size())
                << "a message of " << message.size() << " bytes";
        };
        for (std::size_t i = state.hostNext; i < state.hostEnd; ++i) check(state.hostQueue[i]);
        for (std::size_t i = 0; i < state.inboundCount; ++i) check(state.inboundQueue[i]);
        EXPECT_EQ(queued, state.queuedCount.load());
        // The storage handed back for later messages holds none, and no more than its bound.
        std::size_t spareBytes = 0;
        for (std::size_t i = 0; i < state.spareCount; ++i) {
            EXPECT_TRUE(state.spareStorage[i].empty());
            spareBytes += state.spareStorage[i].capacity();
        }
        EXPECT_EQ(spareBytes, state.spareBytes);
        EXPECT_LE(spareBytes, wsbridge::recycledLargeStorageBytes);
    }

    // Reads every queued message whole, each into a buffer of its own length.
    static Messages drainWhole() {
        Messages messages;
        for (int length = WsGetMessageLength(); length >= 0 && messages.size() < 1000;
             length = WsGetMessageLength()) {
            std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
            const int read = WsReadMessage(buffer.data(), static_cast<int>(buffer.size()));
            messages.emplace_back(buffer.data(), static_cast<std::size_t>(read));
        }
        return messages;
    }

    // With the worker waiting in a receive: queues each text as the transport delivers it: in
    // buffers of at most 64 KiB, the last one ending the message.
    static void pushTexts(const Messages& texts) {
        constexpr std::size_t piece = 65536;
        const int before = fake().record().receiveCalls;
        int steps = 0;
        for (const std::string& text : texts) {
            std::size_t at = 0;
            for (; text.size() - at > piece; at += piece, ++steps) {
                fake().pushReceive(fake::textFragment(text.substr(at, piece)));
            }
            fake().pushReceive(fake::text(text.substr(at)));
            ++steps;
        }
        // Every piece has been taken in and queued once the worker waits in its next receive.
        ASSERT_TRUE(fake().waitUntil(
            [&](const fake::Record& r) { return r.receiveCalls == before + steps; }));
    }
};

Messages repeated(std::size_t count, std::size_t size, char fill) {
    return Messages(count, std::string(size, fill));
}

// The n-th message of the stress test: its number first, then bytes that depend on it, so that a
// message cut, mixed with another or read twice shows.
std::string numbered(std::size_t n, std::size_t size) {
    std::string text = std::to_string(n) + ":";
    while (text.size() < size) text.push_back(static_cast<char>('a' + (n + text.size()) % 26));
    return text;
}

}  // namespace

// Storage left by read messages is filled again, and large messages move in whole: whatever the
// order of sizes, no queued message holds more than twice its size, and the storage kept for
// later messages stays within its bound.
TEST_F(MessageQueueTest, QueuedMessagesHoldAtMostTwiceTheirSize) {
    const std::string fragment(65536, 'f');
    struct Case {
        const char* name;
        Messages first;   // queued, then read: their storage is what the second batch reuses
        Messages second;  // queued and inspected, twice
    };
    const Case cases[] = {
        {"small after larger", repeated(40, 1000, 'a'), repeated(40, 10, 'b')},
        {"larger after small", repeated(40, 10, 'a'), repeated(40, 3000, 'b')},
        {"empty after small", repeated(5, 100, 'a'), repeated(5, 0, 'b')},
        {"past the copied size", repeated(5, 4000, 'a'), repeated(5, 5000, 'b')},
        {"larger messages received into storage read before", repeated(3, 300000, 'a'),
         repeated(3, 300000, 'b')},
        {"more larger storage read than is kept", repeated(3, std::size_t{5} << 20, 'a'),
         repeated(2, 100000, 'b')},
        {"large, then one that fits its storage loosely",
         {},
         {fragment + fragment + fragment, std::string(70000, 'c'), "x"}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        connectAndWaitInReceive();
        pushTexts(row.first);
        EXPECT_TRUE(drainWhole() == row.first);
        // Read storage goes back to the worker with the exchange after the one that took its
        // messages: the second round is the one that fills it again.
        for (int round = 0; round < 2; ++round) {
            pushTexts(row.second);
            expectEveryQueuedMessageSnug();
            EXPECT_TRUE(drainWhole() == row.second);
        }
    }
}

// A new connection starts with an empty queue, whichever side its messages were on.
TEST_F(MessageQueueTest, ConnectDiscardsMessagesOnBothSides) {
    connectAndWaitInReceive();
    pushTexts({"one", "two", "three"});
    char buffer[16];
    EXPECT_EQ(WsReadMessage(buffer, sizeof buffer), 3);  // takes the batch to the host's side
    pushTexts({"four", "five"});                         // on the worker's side
    EXPECT_EQ(WsGetMessageLength(), 3);

    fake::Script script;
    script.receives = {fake::text("fresh"), fake::closeBuffer()};
    connectWith(script);
    ASSERT_TRUE(waitForWorkerEnd());
    EXPECT_EQ(drainMessages(), Messages{"fresh"});
    EXPECT_EQ(WsGetMessageLength(), -1);
}

// Two readers race the worker and each other, one polling, one waiting: every message is read
// exactly once and whole, and each reader sees them oldest first.
TEST_F(MessageQueueTest, ConcurrentReadersSeeEveryMessageOnceWholeInOrder) {
    constexpr std::size_t messageCount = 4000;
    constexpr std::size_t sizes[] = {6, 200, 4096, 4097, 20000};
    constexpr std::size_t largestSize = 20000;
    const auto deadline = std::chrono::steady_clock::now() + 60s;

    fake::Script script;
    for (std::size_t n = 0; n < messageCount; ++n) {
        script.receives.push_back(fake::text(numbered(n, sizes[n % std::size(sizes)])));
    }
    script.receives.push_back(fake::closeBuffer());
    std::atomic<std::size_t> readCount{0};
    const auto reader = [&](bool waits) {
        std::vector<std::size_t> seen;
        std::vector<char> buffer(largestSize + 1);
        while (readCount.load() < messageCount && std::chrono::steady_clock::now() < deadline) {
            if (waits ? WsWaitForMessage(10) == 0 : WsHasMessages() == 0) {
                std::this_thread::yield();
                continue;
            }
            const int length = WsReadMessage(buffer.data(), static_cast<int>(buffer.size()));
            if (length == 0) continue;  // the other reader took it
            const std::string text(buffer.data(), static_cast<std::size_t>(length));
            const std::size_t n = std::stoul(text);
            EXPECT_EQ(text, numbered(n, sizes[n % std::size(sizes)]));
            seen.push_back(n);
            ++readCount;
        }
        return seen;
    };
    connectWith(script);
    auto polling = std::async(std::launch::async, reader, false);
    auto waiting = std::async(std::launch::async, reader, true);
    const std::vector<std::size_t> polled = polling.get();
    const std::vector<std::size_t> waited = waiting.get();

    EXPECT_TRUE(std::is_sorted(polled.begin(), polled.end()));
    EXPECT_TRUE(std::is_sorted(waited.begin(), waited.end()));
    std::vector<std::size_t> all = polled;
    all.insert(all.end(), waited.begin(), waited.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), messageCount);
    for (std::size_t n = 0; n < messageCount; ++n) ASSERT_EQ(all[n], n);
    EXPECT_EQ(WsHasMessages(), 0);
}
