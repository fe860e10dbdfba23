#include "loopback_sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace integration {
namespace {

// Binds fd to an ephemeral loopback port and returns the address it got.
sockaddr_in bindLoopback(int fd) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot bind a loopback socket");
    }
    return address;
}

}  // namespace

int unusedPort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = bindLoopback(probe);
    ::close(probe);  // nobody listens there now
    return ntohs(address.sin_port);
}

FullListener::FullListener() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = bindLoopback(listener_);
    if (::listen(listener_, 0) != 0) throw std::runtime_error("listen failed");
    port_ = ntohs(address.sin_port);
    // The kernel drops SYNs to a listener whose accept queue is full; these fill it.
    for (int& filler : fillers_) {
        filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
            errno != EINPROGRESS) {
            throw std::runtime_error("cannot fill the accept queue");
        }
    }
}

FullListener::~FullListener() {
    for (const int filler : fillers_) ::close(filler);
    ::close(listener_);
}

}  // namespace integration
