// The stream over a bare TCP socket.
#include <sys/socket.h>

#include <cerrno>

#include "transport/linux/byte_stream.h"

namespace wsbridge::transport {
namespace {

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

class PlainStream final : public ByteStream {
  public:
    using ByteStream::ByteStream;

    IoResult read(void* buffer, std::size_t size) override {
        return receiveSome(fd(), buffer, size);
    }
    IoResult write(const void* data, std::size_t size) override {
        return sendSome(fd(), data, size);
    }
};

}  // namespace

void ByteStream::shutdown() {
    ::shutdown(fd(), SHUT_RDWR);
}

IoResult receiveSome(int fd, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, size, 0);
        if (got > 0) return {IoStatus::Done, static_cast<std::size_t>(got), Direction::Read};
        if (got == 0) return {IoStatus::Closed, 0, Direction::Read};
        if (errno == EINTR) continue;
        if (wouldBlock(errno)) return {IoStatus::WouldBlock, 0, Direction::Read};
        return {IoStatus::Failed, 0, Direction::Read};
    }
}

IoResult sendSome(int fd, const void* data, std::size_t size) {
    for (;;) {
        // MSG_NOSIGNAL: a peer that has gone must give an error, not kill the host process.
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent >= 0) return {IoStatus::Done, static_cast<std::size_t>(sent), Direction::Write};
        if (errno == EINTR) continue;
        if (wouldBlock(errno)) return {IoStatus::WouldBlock, 0, Direction::Write};
        return {IoStatus::Failed, 0, Direction::Write};
    }
}

std::unique_ptr<ByteStream> makePlainStream(UniqueFd socket) {
    return std::make_unique<PlainStream>(std::move(socket));
}

}  // namespace wsbridge::transport
