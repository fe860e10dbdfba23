#include "transport/linux/tcp_connect.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "transport/linux/readiness.h"
#include "transport/linux/time_limits.h"

namespace wsbridge::transport {
namespace {

struct AddressListDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

AddressList resolve(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;  // IPv4 and IPv6 alike
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) {
        return nullptr;
    }
    return AddressList(list);
}

// Frames are written whole, so there is nothing to gain from delaying small segments.
void disableNagle(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

DWORD connectOne(const addrinfo& address, const WakeEvent& cancel, UniqueFd& connected) {
    UniqueFd fd(::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                         address.ai_protocol));
    if (!fd) return ERROR_WINHTTP_CANNOT_CONNECT;
    if (::connect(fd.get(), address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) return ERROR_WINHTTP_CANNOT_CONNECT;
        const Readiness ready = waitUntilReady(fd.get(), Direction::Write, {&cancel},
                                               deadlineAfter(timeLimit::connect));
        if (ready != Readiness::Ready) return readinessError(ready, ERROR_WINHTTP_CANNOT_CONNECT);
        int socketError = 0;
        socklen_t length = sizeof socketError;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &socketError, &length) != 0 ||
            socketError != 0) {
            return ERROR_WINHTTP_CANNOT_CONNECT;
        }
    }
    disableNagle(fd.get());
    connected = std::move(fd);
    return ERROR_SUCCESS;
}

}  // namespace

TcpConnectResult connectTcp(const std::string& host, std::uint16_t port, const WakeEvent& cancel) {
    TcpConnectResult result;
    const AddressList addresses = resolve(host, port);
    if (!addresses) {
        result.error = ERROR_WINHTTP_NAME_NOT_RESOLVED;
        return result;
    }
    result.error = ERROR_WINHTTP_CANNOT_CONNECT;
    for (const addrinfo* address = addresses.get(); address; address = address->ai_next) {
        result.error = connectOne(*address, cancel, result.socket);
        if (result.error == ERROR_SUCCESS || result.error == ERROR_WINHTTP_OPERATION_CANCELLED) {
            break;
        }
    }
    return result;
}

}  // namespace wsbridge::transport
