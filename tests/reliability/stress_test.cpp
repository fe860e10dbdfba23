// Many connections and much traffic against the in-process server: nothing may pile up (file
// descriptors, threads, memory) and no call may hang or crash, however the cycles interleave.
// Sanitized builds run 1/sanitizerSlowdown of the cycles (see loopback_server.h).
#include <gtest/gtest.h>

#include <string>

#include "bridge_client.h"
#include "loopback_server.h"

using namespace integration;
using namespace reliability;

namespace {

class StressTest : public ::testing::Test {
  protected:
    void TearDown() override { WsDisconnect(); }
};

void serveAndAnswerClose(ServerConnection& connection) {
    if (connection.acceptUpgrade()) connection.serveUntilClose();
}

// Lets the server's threads and the library's worker finish leaving, then reads the figures.
struct ProcessFigures {
    int fds;
    int threads;
    std::int64_t residentKiB;
};

ProcessFigures settledFigures(const LoopbackServer& server, int clientsEnded) {
    EXPECT_TRUE(server.waitForClientsEnded(clientsEnded, 30s));
    std::this_thread::sleep_for(300ms);  // the last server thread is reaped within 50 ms
    return {openFileDescriptors(), threadCount(), residentKiB()};
}

TEST_F(StressTest, TenThousandConnectDisconnectCyclesLeaveFdsThreadsAndMemoryFlat) {
    const int cycles = scaled(10'000);
    constexpr int warmUp = 20;  // first cycles load TLS-free code paths, caches, allocator arenas
    LoopbackServer server(serveAndAnswerClose);
    for (int i = 0; i < warmUp; ++i) {
        ASSERT_EQ(connectAndWait("127.0.0.1", server.port()), WS_STATUS_CONNECTED);
        WsDisconnect();
    }
    const ProcessFigures before = settledFigures(server, warmUp);
    for (int i = 0; i < cycles; ++i) {
        ASSERT_EQ(connectAndWait("127.0.0.1", server.port()), WS_STATUS_CONNECTED)
            << "cycle " << i << ": " << lastErrorText();
        ASSERT_EQ(WsDisconnect(), WS_STATUS_DISCONNECTED) << "cycle " << i;
    }
    const ProcessFigures after = settledFigures(server, warmUp + cycles);
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    // Under ASan freed memory sits in its quarantine and RSS climbs regardless; its leak check
    // covers what this figure would catch there.
    constexpr std::int64_t allowedGrowthKiB = 8 * 1024;
    if (!sanitized) {
        EXPECT_LT(after.residentKiB - before.residentKiB, allowedGrowthKiB)
            << before.residentKiB << " KiB before, " << after.residentKiB << " KiB after";
    }
    EXPECT_EQ(server.accepted(), warmUp + cycles);
}

// Each pair: a connect, and a second one at once, replacing the first wherever it has got to.
TEST_F(StressTest, ThousandPairsOfQuickConnectsEachEndConnectedOnce) {
    const int pairs = scaled(1'000);
    LoopbackServer server(serveAndAnswerClose);
    const std::u16string host = utf16("127.0.0.1");
    for (int i = 0; i < pairs; ++i) {
        ASSERT_EQ(WsConnect(host.c_str(), server.port(), u"/", 0), 1);
        ASSERT_EQ(connectAndWait("127.0.0.1", server.port()), WS_STATUS_CONNECTED)
            << "pair " << i << ": " << lastErrorText();
    }
    WsDisconnect();
    EXPECT_TRUE(server.waitForClientsEnded(server.accepted(), 30s))
        << "every connection the server accepted was ended by the client";
    EXPECT_GE(server.accepted(), pairs);
}

// The host sends while the worker receives ten times as many, on one connection.
TEST_F(StressTest, HostSendsWhileTheWorkerReceivesTenTimesAsMany) {
    const int toSend = scaled(100'000);
    const int toReceive = scaled(1'000'000);
    constexpr int framesPerWrite = 1000;
    std::atomic<std::uint64_t> textsSeen{0};
    LoopbackServer server([&](ServerConnection& connection) {
        if (!connection.acceptUpgrade()) return;
        std::thread writer([&] {
            for (int sent = 0; sent < toReceive; sent += framesPerWrite) {
                std::string batch;
                for (int i = sent; i < sent + framesPerWrite && i < toReceive; ++i) {
                    batch += frame(opText, std::to_string(i));
                }
                if (!connection.send(batch)) return;
            }
        });
        while (std::optional<ClientFrame> received = connection.readFrame(30s)) {
            if (received->opcode == opText) ++textsSeen;
            if (received->opcode == opClose) {
                connection.send(frame(opClose, received->payload));
                break;
            }
        }
        writer.join();
        connection.waitForClientEnd();
    });
    ASSERT_EQ(connectAndWait("127.0.0.1", server.port()), WS_STATUS_CONNECTED) << lastErrorText();

    std::atomic<int> sendFailures{0};
    std::thread sender([&] {
        for (int i = 0; i < toSend; ++i) {
            if (!sendText(u"host message " + utf16(std::to_string(i)))) ++sendFailures;
        }
    });
    char buffer[64];
    int received = 0;
    int outOfOrder = 0;
    const auto deadline = std::chrono::steady_clock::now() + 240s;
    while (received < toReceive && std::chrono::steady_clock::now() < deadline) {
        const int length = WsReadMessage(buffer, sizeof buffer);
        if (length == 0) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        if (std::string(buffer, static_cast<std::size_t>(length)) != std::to_string(received)) {
            ++outOfOrder;
        }
        ++received;
    }
    sender.join();
    EXPECT_EQ(received, toReceive);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(sendFailures, 0);
    const auto textDeadline = std::chrono::steady_clock::now() + 30s;
    while (textsSeen < static_cast<std::uint64_t>(toSend) &&
           std::chrono::steady_clock::now() < textDeadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(textsSeen, static_cast<std::uint64_t>(toSend));
    EXPECT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
}

// The server closes the moment the upgrade is done, while the host disconnects: whichever wins,
// the call returns, the status ends at 0 and the server sees the connection end.
TEST_F(StressTest, DisconnectRacingTheServersCloseThousandTimes) {
    const int rounds = scaled(1'000);
    LoopbackServer server([](ServerConnection& connection) {
        if (!connection.acceptUpgrade()) return;
        connection.send(frame(opClose, std::string("\x03\xe8", 2)));
        connection.waitForClientEnd();
    });
    const std::u16string host = utf16("127.0.0.1");
    for (int i = 0; i < rounds; ++i) {
        ASSERT_EQ(WsConnect(host.c_str(), server.port(), u"/", 0), 1);
        // Vary where the disconnect lands: during the handshake, at the close, after it.
        std::this_thread::sleep_for(std::chrono::microseconds(i % 7 * 150));
        const int before = WsDisconnect();
        ASSERT_TRUE(before == WS_STATUS_DISCONNECTED || before == WS_STATUS_CONNECTED ||
                    before == WS_STATUS_CONNECTING)
            << "round " << i << ": " << before << " " << lastErrorText();
        ASSERT_EQ(WsGetStatus(), WS_STATUS_DISCONNECTED);
    }
    EXPECT_TRUE(server.waitForClientsEnded(server.accepted(), 30s));
}

}  // namespace
