// The stream over a bare TCP socket.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "transport/linux/byte_stream.h"

namespace wsbridge::transport {
namespace {

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

class PlainStream final : public ByteStream {
  public:
    PlainStream(UniqueFd socket, ReadAhead readAhead)
        : ByteStream(std::move(socket)), readAhead_(std::move(readAhead)) {}

    IoResult read(void* buffer, std::size_t size) override {
        return readAhead_.receive(fd(), buffer, size);
    }
    IoResult write(const void* data, std::size_t size) override {
        return sendSome(fd(), data, size);
    }

  private:
    ReadAhead readAhead_;
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

IoResult ReadAhead::receive(int fd, void* buffer, std::size_t size) {
    if (taken_ == bytes_.size() || size == 0) return receiveSome(fd, buffer, size);
    const std::size_t count = std::min(size, bytes_.size() - taken_);
    std::memcpy(buffer, bytes_.data() + taken_, count);
    taken_ += count;
    return {IoStatus::Done, count, Direction::Read};
}

std::unique_ptr<ByteStream> makePlainStream(UniqueFd socket, ReadAhead readAhead) {
    return std::make_unique<PlainStream>(std::move(socket), std::move(readAhead));
}

}  // namespace wsbridge::transport
