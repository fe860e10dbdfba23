// Loopback sockets for tests that need a port in a particular state: one nobody listens on, and
// one whose accept queue is full, so that a further connect hangs unanswered.
#pragma once

#include <array>

namespace integration {

// A loopback port that was free a moment ago and has no listener.
int unusedPort();

class FullListener {
  public:
    FullListener();  // throws std::runtime_error when the sockets cannot be set up
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;
    ~FullListener();

    int port() const { return port_; }

  private:
    static constexpr int fillerCount = 3;  // more than a backlog of 0 lets in
    int listener_ = -1;
    std::array<int, fillerCount> fillers_{};
    int port_ = 0;
};

}  // namespace integration
