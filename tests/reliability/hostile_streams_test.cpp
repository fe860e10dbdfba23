// Servers that misbehave in the middle of a frame or at a volume no correct server reaches: the
// connection must end (or go on) as the rules say, every host call stays prompt, and memory
// follows the bytes that really arrived, never a length a server merely announced.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge_client.h"
#include "loopback_server.h"

using namespace integration;
using namespace reliability;

namespace {

constexpr std::size_t announcedLength = 1000;
constexpr std::size_t halfOfIt = announcedLength / 2;
constexpr auto closeBound = 1s;  // the transport's whole-close limit
constexpr auto promptMargin = 2s;
constexpr auto upgradeBound = 10s;  // the transport's response limit

class HostileStreamTest : public ::testing::Test {
  protected:
    void TearDown() override { WsDisconnect(); }
};

template <typename Action>
std::chrono::milliseconds timed(Action action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

std::string halfFrame() {
    std::string bytes = frameHeader(opText, announcedLength);
    bytes.append(halfOfIt, 'x');
    return bytes;
}

TEST_F(HostileStreamTest, ResetInsideAFrameEndsWithTheReceiveFailureAndQueuesNothing) {
    LoopbackServer server([](ServerConnection& connection) {
        if (!connection.acceptUpgrade() || !connection.send(frame(opText, "whole"))) return;
        connection.send(halfFrame());
        std::this_thread::sleep_for(100ms);  // let the half frame be read before the reset
        connection.reset();
    });
    ASSERT_EQ(connectAndWait("127.0.0.1", server.port()), WS_STATUS_CONNECTED) << lastErrorText();
    ASSERT_TRUE(waitForStatus(WS_STATUS_DISCONNECTED));
    EXPECT_EQ(lastErrorText(), "WebSocketReceive failed (Error 12030)");
    EXPECT_EQ(waitForMessage(0ms), "whole");
    EXPECT_EQ(WsHasMessages(), 0) << "nothing of the cut frame is queued";
}

TEST_F(HostileStreamTest, StallInsideAFrameLeavesDisconnectPrompt) {
    LoopbackServer server([](ServerConnection& connection) {
        if (!connection.acceptUpgrade() || !connection.send(halfFrame())) return;
        connection.waitForClientEnd(30s);  // never the rest, never a close answer
    });
    ASSERT_EQ(connectAndWait("127.0.0.1", server.port()), WS_STATUS_CONNECTED) << lastErrorText();
    std::this_thread::sleep_for(200ms);  // the worker is now inside the frame, waiting
    EXPECT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
    const auto took = timed([] { EXPECT_EQ(WsDisconnect(), WS_STATUS_DISCONNECTED); });
    EXPECT_LT(took, closeBound + promptMargin);
    EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
    EXPECT_EQ(WsHasMessages(), 0);
    EXPECT_TRUE(server.waitForClientsEnded(1)) << "the server sees the connection end";
}

TEST_F(HostileStreamTest, ConnectDuringAnUnansweredUpgradeWaitsNoLongerThanItsLimit) {
    LoopbackServer server([](ServerConnection& connection) {
        if (connection.readRequestOnly()) connection.waitForClientEnd(30s);
    });
    const std::u16string host = utf16("127.0.0.1");
    ASSERT_EQ(WsConnect(host.c_str(), server.port(), u"/", 0), 1);
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTING));
    // The second connect ends the first handshake (it waits for its limit), then starts anew.
    const auto took = timed([&] { EXPECT_EQ(WsConnect(host.c_str(), server.port(), u"/", 0), 1); });
    EXPECT_LT(took, upgradeBound + promptMargin);
    EXPECT_TRUE(server.waitForClientsEnded(1)) << "the first connection was ended";
    const auto disconnectTook = timed([] { WsDisconnect(); });
    EXPECT_LT(disconnectTook, upgradeBound + promptMargin);
    EXPECT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
}

TEST_F(HostileStreamTest, PingFloodIsAnsweredPingForPingAndTrafficGoesOn) {
    constexpr int pings = 100'000;
    constexpr int pingsPerWrite = 1000;
    std::atomic<int> pongs{0};
    LoopbackServer server([&](ServerConnection& connection) {
        if (!connection.acceptUpgrade()) return;
        std::thread flooder([&] {
            std::string batch;
            for (int i = 0; i < pingsPerWrite; ++i) batch += frame(opPing, std::to_string(i));
            for (int sent = 0; sent < pings; sent += pingsPerWrite) {
                if (!connection.send(batch)) return;
            }
            connection.send(frame(opText, "after the flood"));
        });
        while (std::optional<ClientFrame> received = connection.readFrame()) {
            if (received->opcode == opPong) ++pongs;
            if (received->opcode == opClose) break;
        }
        flooder.join();
        connection.waitForClientEnd();
    });
    const std::int64_t residentBefore = residentKiB();
    ASSERT_EQ(connectAndWait("127.0.0.1", server.port()), WS_STATUS_CONNECTED) << lastErrorText();
    EXPECT_EQ(waitForMessage(60s), "after the flood");
    EXPECT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (pongs < pings && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(pongs, pings);
    constexpr std::int64_t allowedGrowthKiB = 64 * 1024;  // pongs are answered, not stored
    EXPECT_LT(residentKiB() - residentBefore, allowedGrowthKiB);
}

// A 2^62-byte text frame, of which only streamedBytes ever come: the memory used follows those.
TEST_F(HostileStreamTest, FrameClaiming2To62BytesAllocatesOnlyWhatArrives) {
    constexpr std::uint64_t claimed = std::uint64_t{1} << 62;
    constexpr std::size_t chunk = 1 << 20;
    const std::size_t streamedBytes = std::size_t{scaled(256)} << 20;
    std::atomic<std::size_t> streamed{0};
    LoopbackServer server([&](ServerConnection& connection) {
        if (!connection.acceptUpgrade() || !connection.send(frameHeader(opText, claimed))) return;
        const std::string block(chunk, 'a');
        while (streamed < streamedBytes && connection.send(block)) streamed += chunk;
        connection.waitForClientEnd(60s);
    });
    const std::int64_t residentBefore = residentKiB();
    ASSERT_EQ(connectAndWait("127.0.0.1", server.port()), WS_STATUS_CONNECTED) << lastErrorText();
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (streamed < streamedBytes && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(streamed, streamedBytes) << "the client kept reading";
    EXPECT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
    EXPECT_EQ(WsHasMessages(), 0);
    // What is held is the bytes received so far, grown by doubling: at most about twice them.
    // A sanitizer's shadow memory multiplies that, and its allocator keeps freed blocks.
    const std::int64_t factor = sanitized ? 8 : 3;
    const std::int64_t allowedKiB = factor * static_cast<std::int64_t>(streamedBytes / 1024);
    const std::int64_t grownKiB = residentKiB() - residentBefore;
    EXPECT_LT(grownKiB, allowedKiB) << "KiB grown";
    const auto took = timed([] { WsDisconnect(); });
    EXPECT_LT(took, closeBound + promptMargin);
}

TEST_F(HostileStreamTest, MessageOf256MiBArrivesWholeAndExact) {
    const std::size_t size = std::size_t{sanitized ? 64 : 256} << 20;
    constexpr std::size_t chunk = 1 << 20;
    auto byteAt = [](std::size_t i) { return static_cast<char>('a' + (i * 7 + i / 4093) % 26); };
    LoopbackServer server([&](ServerConnection& connection) {
        if (!connection.acceptUpgrade() || !connection.send(frameHeader(opText, size))) return;
        std::string block(chunk, '\0');
        for (std::size_t offset = 0; offset < size; offset += chunk) {
            for (std::size_t i = 0; i < chunk; ++i) block[i] = byteAt(offset + i);
            if (!connection.send(block)) return;
        }
        connection.serveUntilClose(60s);
    });
    ASSERT_EQ(connectAndWait("127.0.0.1", server.port()), WS_STATUS_CONNECTED) << lastErrorText();
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (WsHasMessages() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(WsHasMessages(), 1) << lastErrorText();
    std::vector<char> buffer(size + 1);
    ASSERT_EQ(WsReadMessage(buffer.data(), static_cast<std::int32_t>(buffer.size())),
              static_cast<std::int32_t>(size));
    std::size_t firstWrong = size;
    for (std::size_t i = 0; i < size && firstWrong == size; ++i) {
        if (buffer[i] != byteAt(i)) firstWrong = i;
    }
    EXPECT_EQ(firstWrong, size) << "first wrong byte";
    EXPECT_EQ(buffer[size], '\0');
    EXPECT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
}

}  // namespace
