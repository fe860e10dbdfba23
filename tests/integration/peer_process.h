// A test peer (tests/peers/*.py) run as a child process: started with its arguments, its port
// read from its first stdout line, its event lines collected by a reader thread as they come (so
// the peer never blocks on a full pipe). It is stopped (stdin closed, then killed if need be)
// when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace integration {

using namespace std::chrono_literals;

inline constexpr auto peerStartLimit = 20s;
inline constexpr auto eventWaitLimit = 15s;

class PeerProcess {
  public:
    // script: file name under tests/peers; arguments follow it on the command line.
    PeerProcess(const std::string& script, const std::vector<std::string>& arguments);
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;
    ~PeerProcess();

    int port() const { return port_; }

    // The first event line starting with prefix, waiting for it up to limit; nullopt if none.
    std::optional<std::string> waitForLine(const std::string& prefix,
                                           std::chrono::milliseconds limit = eventWaitLimit);
    // Every event line read so far (the port line excluded).
    std::vector<std::string> lines();

  private:
    void readLines();
    void stop();

    pid_t pid_ = -1;
    int toPeer_ = -1;
    int fromPeer_ = -1;
    int port_ = 0;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<std::string> lines_;  // guarded by lock_; the first is the port
    bool ended_ = false;              // guarded by lock_: the peer's stdout is closed
    std::thread reader_;
};

std::string hexOf(const std::string& bytes);
// The bytes ws_peer.py sends for text=N: the alphabet repeated, cut to N bytes.
std::string patternBytes(std::size_t length);

}  // namespace integration
