// A one-way signal another thread can raise to wake a pending poll: once raised it stays raised,
// so every later wait on it returns at once too.
#pragma once

#include <atomic>

#include "transport/linux/unique_fd.h"

namespace wsbridge::transport {

class WakeEvent {
  public:
    WakeEvent();  // throws std::system_error when no eventfd can be had

    void raise();
    bool raised() const { return raised_.load(); }
    int fd() const { return fd_.get(); }  // readable once raised

  private:
    UniqueFd fd_;
    std::atomic<bool> raised_{false};
};

}  // namespace wsbridge::transport
