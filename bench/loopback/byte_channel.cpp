#include "byte_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace loopback {

SslContext makeServerContext(const std::string& certificateFile, const std::string& keyFile) {
    SslContext context(SSL_CTX_new(TLS_server_method()));
    if (!context) return nullptr;
    if (SSL_CTX_use_certificate_chain_file(context.get(), certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        return nullptr;
    }
    return context;
}

SslContext makeClientContext(const std::string& caFile) {
    SslContext context(SSL_CTX_new(TLS_client_method()));
    if (!context) return nullptr;
    if (SSL_CTX_load_verify_locations(context.get(), caFile.c_str(), nullptr) != 1) return nullptr;
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    return context;
}

ByteChannel::ByteChannel(ByteChannel&& other) noexcept
    : socket_(std::exchange(other.socket_, -1)), ssl_(std::move(other.ssl_)) {}

ByteChannel::~ByteChannel() {
    ssl_.reset();
    if (socket_ >= 0) ::close(socket_);
}

bool ByteChannel::acceptTls(SSL_CTX* context) {
    ssl_.reset(SSL_new(context));
    return ssl_ && SSL_set_fd(ssl_.get(), socket_) == 1 && SSL_accept(ssl_.get()) == 1;
}

bool ByteChannel::connectTls(SSL_CTX* context, const std::string& peerAddress) {
    ssl_.reset(SSL_new(context));
    return ssl_ && SSL_set_fd(ssl_.get(), socket_) == 1 &&
           X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), peerAddress.c_str()) == 1 &&
           SSL_connect(ssl_.get()) == 1;
}

long ByteChannel::readSome(char* data, std::size_t size) {
    if (ssl_) {
        std::size_t got = 0;
        if (SSL_read_ex(ssl_.get(), data, size, &got) == 1) return static_cast<long>(got);
        return SSL_get_error(ssl_.get(), 0) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    for (;;) {
        const ssize_t got = ::recv(socket_, data, size, 0);
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

bool ByteChannel::writeAll(const char* data, std::size_t size) {
    while (size > 0) {
        std::size_t sent = 0;
        if (ssl_) {
            if (SSL_write_ex(ssl_.get(), data, size, &sent) != 1) return false;
        } else {
            const ssize_t result = ::send(socket_, data, size, MSG_NOSIGNAL);
            if (result < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            sent = static_cast<std::size_t>(result);
        }
        data += sent;
        size -= sent;
    }
    return true;
}

void ByteChannel::setReadTimeout(int milliseconds) {
    timeval limit{};
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

void ByteChannel::setNoDelay() {
    const int on = 1;
    ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void ByteChannel::shutdownWrite() {
    if (ssl_) SSL_shutdown(ssl_.get());
    ::shutdown(socket_, SHUT_WR);
}

int connectLoopback(int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket);
        return -1;
    }
    return socket;
}

}  // namespace loopback
