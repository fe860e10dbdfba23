// A connected, non-blocking byte stream: plain TCP or TLS over TCP. Its calls never wait; the
// caller waits for readiness (outside any lock) when a call says it would block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <vector>

#include "transport/linux/readiness.h"
#include "transport/linux/unique_fd.h"

namespace wsbridge::transport {

enum class IoStatus {
    Done,        // bytes moved (at least one)
    WouldBlock,  // nothing moved; wait for the direction in IoResult::waitFor, then retry
    Closed,      // the peer ended the stream (end of file, or a TLS close_notify)
    Failed,      // reset or another error; the stream is unusable
};

struct IoResult {
    IoStatus status = IoStatus::Failed;
    std::size_t bytes = 0;
    Direction waitFor = Direction::Read;
};

class ByteStream {
  public:
    explicit ByteStream(UniqueFd socket) : socket_(std::move(socket)) {}
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;
    virtual ~ByteStream() = default;

    // A TLS stream may need to write while reading and the other way round: IoResult::waitFor
    // says which readiness to wait for.
    virtual IoResult read(void* buffer, std::size_t size) = 0;
    virtual IoResult write(const void* data, std::size_t size) = 0;
    // Ends the stream in both directions (TLS: a close_notify first, if it can go at once).
    virtual void shutdown();

    int fd() const { return socket_.get(); }

    // Gives the socket up, for another stream to be made over it; this one is unusable after.
    UniqueFd releaseSocket() { return std::move(socket_); }

  private:
    UniqueFd socket_;
};

// The socket calls both kinds of stream use: never raise SIGPIPE, never block.
IoResult receiveSome(int fd, void* buffer, std::size_t size);
IoResult sendSome(int fd, const void* data, std::size_t size);

// Bytes read from a socket before the stream over it was made: what came through a proxy's
// tunnel together with the proxy's answer. They are the start of what the stream reads.
class ReadAhead {
  public:
    ReadAhead() = default;
    explicit ReadAhead(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    // The read-ahead bytes while there are any, then receiveSome() on the socket.
    IoResult receive(int fd, void* buffer, std::size_t size);

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t taken_ = 0;
};

std::unique_ptr<ByteStream> makePlainStream(UniqueFd socket, ReadAhead readAhead = {});

// Writes until `writeNext` has nothing left to write, waiting (without spinning, and outside
// whatever lock writeNext takes) for the socket between writes, until the deadline passes or one
// of the wake events is raised. writeNext() makes one non-blocking write of the bytes still to go
// and returns its result, or nothing once none are left. Returns ERROR_SUCCESS, the wait's error
// (readinessError) when the socket stayed blocked, or ERROR_WINHTTP_CONNECTION_ERROR when a write
// failed.
template <typename WriteNext>
DWORD writeWithin(int fd, Deadline deadline, std::initializer_list<const WakeEvent*> wakes,
                  WriteNext&& writeNext) {
    while (const std::optional<IoResult> io = writeNext()) {
        if (io->status == IoStatus::Done) continue;
        if (io->status != IoStatus::WouldBlock) return ERROR_WINHTTP_CONNECTION_ERROR;
        const Readiness ready = waitUntilReady(fd, io->waitFor, wakes, deadline);
        if (ready != Readiness::Ready) return readinessError(ready, ERROR_WINHTTP_CONNECTION_ERROR);
    }
    return ERROR_SUCCESS;
}

}  // namespace wsbridge::transport
