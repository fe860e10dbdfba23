// A WebSocket server on 127.0.0.1 inside the test process, for traffic the Python peers cannot
// produce fast enough (millions of frames, hundreds of MiB) or shapes they cannot produce at all
// (a frame cut off in the middle). Each accepted connection runs the test's handler on a thread
// of its own; the server counts the connections whose client end it saw go away.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "peer_frames.h"

namespace reliability {

using namespace std::chrono_literals;

using peers::ClientFrame;
using peers::frame;
using peers::opClose;
using peers::opPing;
using peers::opPong;
using peers::opText;

// The header of one unmasked server frame (RFC 6455 5.2) announcing payloadLength bytes.
inline std::string frameHeader(std::uint8_t opcode, std::uint64_t payloadLength) {
    std::string header;
    peers::appendFrameHeader(header, peers::finBit | opcode, payloadLength);
    return header;
}

// One accepted connection, as the handler sees it. Every wait is bounded, and ends early when the
// server is being stopped.
class ServerConnection {
  public:
    ServerConnection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

    // Reads the upgrade request and answers it with a valid 101. False if the client went away.
    bool acceptUpgrade();
    // Reads the upgrade request and never answers.
    bool readRequestOnly();
    bool send(const std::string& bytes);
    std::optional<ClientFrame> readFrame(std::chrono::milliseconds limit = 15s);
    // Answers frames until the client's close (answered with a close) or the end of the
    // connection; returns the number of text frames seen.
    std::uint64_t serveUntilClose(std::chrono::milliseconds limit = 30s);
    // Reads and discards until the client ends the connection; true if it did within limit.
    bool waitForClientEnd(std::chrono::milliseconds limit = 15s);
    // Ends the connection with a TCP reset (SO_LINGER 0), as a crashed server would.
    void reset();
    bool clientEnded() const { return clientEnded_; }
    int fd() const { return fd_; }

  private:
    bool readSome(std::string& into, std::chrono::milliseconds limit);
    bool readHeaderBlock(std::string& request);

    int fd_;
    const std::atomic<bool>& stopping_;
    std::string pending_;  // bytes read but not consumed yet
    bool clientEnded_ = false;
};

class LoopbackServer {
  public:
    using Handler = std::function<void(ServerConnection&)>;

    explicit LoopbackServer(Handler handler);  // throws std::runtime_error if it cannot listen
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;
    ~LoopbackServer();

    int port() const { return port_; }
    int accepted() const { return accepted_; }
    // Connections whose handler has returned having seen the client end the connection.
    int clientsEnded() const { return clientsEnded_; }
    bool waitForClientsEnded(int count, std::chrono::milliseconds limit = 15s) const;

  private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
        int fd = -1;
    };
    void acceptLoop();
    void reapFinished();

    Handler handler_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> clientsEnded_{0};
    std::mutex workersLock_;
    std::list<Worker> workers_;
    std::thread acceptor_;
};

// The process's own figures, read from /proc/self.
int openFileDescriptors();
int threadCount();
std::int64_t residentKiB();

// Scale for counts in the stress tests: sanitized builds run the same code several times slower,
// so their loops run 1/sanitizerSlowdown of the cycles (never fewer than one).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif
#else
inline constexpr bool sanitized = false;
#endif
inline constexpr int sanitizerSlowdown = 10;
inline constexpr int scaled(int count) {
    return sanitized ? (count / sanitizerSlowdown > 0 ? count / sanitizerSlowdown : 1) : count;
}

}  // namespace reliability
