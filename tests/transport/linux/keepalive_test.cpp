// An idle connection: no CPU spent while nothing happens, and after 30 s without traffic one
// unsolicited pong goes out as a keepalive.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <thread>

#include "bridge_client.h"
#include "peer_process.h"

using namespace integration;

namespace {

inline constexpr auto keepaliveInterval = 30s;

std::chrono::microseconds processCpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec;
    const auto micros = usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    return std::chrono::seconds(seconds) + std::chrono::microseconds(micros);
}

TEST(KeepaliveTest, IdleConnectionCostsNoCpuAndSendsAPongAfterThirtySeconds) {
    PeerProcess peer("raw_peer.py", {});
    ASSERT_EQ(connectAndWait("127.0.0.1", peer.port()), WS_STATUS_CONNECTED) << lastErrorText();
    const auto cpuBefore = processCpuTime();
    std::this_thread::sleep_for(keepaliveInterval - 2s);
    EXPECT_TRUE(peer.lines().back().rfind("header", 0) == 0) << "nothing sent before 30 s";
    // A busy wait would burn the whole interval; a blocked poll costs next to nothing.
    EXPECT_LT(processCpuTime() - cpuBefore, 500ms);
    EXPECT_TRUE(peer.waitForLine("frame 10 0 ", 10s)) << "an empty pong (opcode 10) as keepalive";
    EXPECT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
    WsDisconnect();
    EXPECT_TRUE(peer.waitForLine("frame 8 2 03e8"));
}

}  // namespace
