// The channel's I/O over a socket pair, with its time limits shortened: an idle connection waits
// in poll at no CPU cost and sends the keepalive pong when its interval has passed; a close waits
// for the server's close no longer than its bound. (The rules behind both, with the real 30 s and
// on a clock the test moves, are the connection's table tests.)
#include "transport/linux/websocket_channel.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <future>
#include <optional>
#include <string>

#include "peer_frames.h"

namespace wsbridge::transport {
namespace {

using namespace std::chrono_literals;

static_assert(ChannelTiming{}.keepalive == 30s, "the keepalive interval the README gives");
static_assert(ChannelTiming{}.closeWait == 1s, "the close bound the README gives");

constexpr auto keepaliveInterval = 2s;
constexpr auto closeBound = 300ms;
constexpr auto promptly = 5s;  // a generous bound, to catch a hang

std::chrono::microseconds processCpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec;
    const auto micros = usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    return std::chrono::seconds(seconds) + std::chrono::microseconds(micros);
}

// A channel on one end of a socket pair; the test is the server on the other.
class ChannelOverSocketPair : public ::testing::Test {
  protected:
    void SetUp() override { open(closeBound); }

    void open(std::chrono::milliseconds closeWait) {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
        server_ = UniqueFd(ends[1]);
        ChannelTiming timing;
        timing.keepalive = keepaliveInterval;
        timing.closeWait = closeWait;
        channel_ = std::make_shared<WebSocketChannel>(makePlainStream(UniqueFd(ends[0])),
                                                      std::vector<std::uint8_t>{}, timing);
    }

    void TearDown() override {
        if (pending_.valid()) {
            channel_->onHandleClosed();
            pending_.wait();
        }
    }

    // A receive that stays pending on another thread, as the worker's does.
    void startReceive() {
        pending_ = std::async(std::launch::async, [this] {
            DWORD bytes = 0;
            auto type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
            return channel_->receive(buffer_, sizeof buffer_, bytes, type);
        });
    }

    // The next frame the channel wrote, within `limit`.
    std::optional<peers::ClientFrame> readFrame(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (auto frame = reader_.next()) return frame;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd readable{server_.get(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t got = ::recv(server_.get(), chunk, sizeof chunk, 0);
            if (got <= 0) return std::nullopt;
            reader_.feed(chunk, static_cast<std::size_t>(got));
        }
    }

    void serverSends(const std::string& bytes) {
        ASSERT_EQ(::send(server_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    UniqueFd server_;
    std::shared_ptr<WebSocketChannel> channel_;
    std::future<DWORD> pending_;
    char buffer_[1024]{};
    peers::ClientFrameReader reader_;
};

TEST_F(ChannelOverSocketPair, IdleConnectionCostsNoCpuAndSendsAPongAfterTheInterval) {
    startReceive();
    const auto cpuBefore = processCpuTime();
    EXPECT_FALSE(readFrame(keepaliveInterval - 300ms)) << "nothing sent before the interval";
    // A busy wait would burn the whole interval; a blocked poll costs next to nothing.
    EXPECT_LT(processCpuTime() - cpuBefore, 500ms);
    const auto pong = readFrame(10s);
    ASSERT_TRUE(pong) << "an empty pong as keepalive";
    EXPECT_EQ(pong->opcode, peers::opPong);
    EXPECT_TRUE(pong->masked);
    EXPECT_EQ(pong->payload, "");
    EXPECT_EQ(pending_.wait_for(0s), std::future_status::timeout) << "the receive goes on";
    EXPECT_EQ(channel_->close(1000, nullptr, 0), ERROR_SUCCESS);
    const auto close = readFrame(promptly);
    ASSERT_TRUE(close);
    EXPECT_EQ(close->opcode, peers::opClose);
    EXPECT_EQ(close->payload, std::string("\x03\xe8", 2));
    EXPECT_EQ(pending_.get(), ERROR_WINHTTP_OPERATION_CANCELLED);
}

TEST_F(ChannelOverSocketPair, CloseWaitsForTheServersCloseNoLongerThanItsBound) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(channel_->close(1000, nullptr, 0), ERROR_SUCCESS);  // the server never answers
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, closeBound - 10ms);
    EXPECT_LT(took, closeBound + promptly);
    ASSERT_TRUE(readFrame(promptly));
    EXPECT_FALSE(readFrame(promptly)) << "the connection is shut after the close";
}

TEST_F(ChannelOverSocketPair, AnAnsweredCloseEndsAtOnce) {
    constexpr auto longBound = 5s;
    open(longBound);
    serverSends(peers::closeFrame(1000));
    DWORD bytes = 0;
    auto type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
    ASSERT_EQ(channel_->receive(buffer_, sizeof buffer_, bytes, type), ERROR_SUCCESS);
    EXPECT_EQ(type, WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(channel_->close(1000, nullptr, 0), ERROR_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, longBound);
    const auto answer = readFrame(promptly);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->opcode, peers::opClose);
}

}  // namespace
}  // namespace wsbridge::transport
