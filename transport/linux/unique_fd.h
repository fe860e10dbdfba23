// A file descriptor that closes itself.
#pragma once

#include <unistd.h>

#include <utility>

namespace wsbridge::transport {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, invalid)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, invalid));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = invalid) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    static constexpr int invalid = -1;
    int fd_ = invalid;
};

}  // namespace wsbridge::transport
