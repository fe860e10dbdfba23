#include "transport/linux/connection_stream.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "transport/linux/random_bytes.h"
#include "transport/linux/time_limits.h"

namespace wsbridge::transport {
namespace {

// Large reads, many frames parsed per read: no system call per frame.
inline constexpr std::size_t inboxSize = std::size_t{64} * 1024;
// A frame payload (or a direct read) at least this large means large frames are arriving.
inline constexpr std::size_t largeDirectRead = inboxSize / 2;

using protocol::ConnectionEventKind;

}  // namespace

ConnectionStream::ConnectionStream(std::unique_ptr<ByteStream> stream,
                                   std::vector<std::uint8_t> frameBytes,
                                   protocol::Duration keepaliveInterval)
    : stream_(std::move(stream)),
      connection_(transportRandom(), keepaliveInterval, Clock::now()),
      inbox_(std::max(inboxSize, frameBytes.size())) {
    std::copy(frameBytes.begin(), frameBytes.end(), inbox_.begin());
    inboxEnd_ = frameBytes.size();
}

bool ConnectionStream::decodeBuffered(std::uint8_t* buffer, std::size_t length, Read& read) {
    const std::size_t pieceLimit = buffer ? length : inbox_.size();
    while (inboxStart_ < inboxEnd_) {
        const protocol::ConnectionEvent event =
            connection_.receive({inbox_.data() + inboxStart_, inboxEnd_ - inboxStart_}, pieceLimit);
        inboxStart_ += event.consumed;
        switch (event.kind) {
            case ConnectionEventKind::NeedMore:
                break;
            case ConnectionEventKind::Data:
                if (!buffer) continue;  // draining before a close
                std::memcpy(buffer, event.payload.data(), event.payload.size());
                // A large frame that goes on past what this read brought.
                if (connection_.dataPayloadPending() > 0 &&
                    event.payload.size() + connection_.dataPayloadPending() >= largeDirectRead) {
                    probeNextHeader_ = true;
                }
                read.outcome = Outcome::Delivered;
                read.bytes = event.payload.size();
                read.pieceType = event.pieceType;
                return true;
            case ConnectionEventKind::PingAnswered:
                read.pongsQueued = true;
                continue;
            case ConnectionEventKind::ServerClosed:
                read.outcome = Outcome::ServerClosed;
                return true;
            case ConnectionEventKind::Failed:
                read.outcome = Outcome::Failed;
                read.error = event.error;
                return true;
        }
        break;
    }
    inboxStart_ = inboxEnd_ = 0;
    return false;
}

// Inside a data frame's payload the bytes can go straight into the caller's buffer.
void ConnectionStream::readDirect(std::uint8_t* buffer, std::size_t length, Read& read) {
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(connection_.dataPayloadPending(), length));
    const IoResult io = stream_->read(buffer, wanted);
    if (io.status != IoStatus::Done) {
        read.outcome = io.status == IoStatus::WouldBlock ? Outcome::MustWait : Outcome::Broken;
        read.waitFor = io.waitFor;
        return;
    }
    connection_.noteTraffic(Clock::now());
    if (io.bytes >= largeDirectRead) probeNextHeader_ = true;
    const protocol::ConnectionEvent event = connection_.receive({buffer, io.bytes}, length);
    if (event.kind != ConnectionEventKind::Data) {  // cannot happen inside a payload; fail safe
        read.outcome = Outcome::Broken;
        return;
    }
    if (event.payload.data() != buffer) {
        std::memmove(buffer, event.payload.data(), event.payload.size());
    }
    read.outcome = Outcome::Delivered;
    read.bytes = event.payload.size();
    read.pieceType = event.pieceType;
}

// Measured with the loopback benchmark (perf, 64 KiB messages): copying payloads out of inbox_
// was a fifth of the worker's time. While large frames arrive, only the next header is read
// here, and its payload then comes by readDirect; any other bytes the short read brings are
// decoded as usual, so the result is the same whatever the frames are.
bool ConnectionStream::refill(Read& read) {
    const std::size_t wanted =
        std::exchange(probeNextHeader_, false) ? protocol::maxServerHeaderSize : inbox_.size();
    const IoResult io = stream_->read(inbox_.data(), wanted);
    if (io.status == IoStatus::Done) {
        connection_.noteTraffic(Clock::now());
        inboxStart_ = 0;
        inboxEnd_ = io.bytes;
        return false;
    }
    read.outcome = io.status == IoStatus::WouldBlock ? Outcome::MustWait : Outcome::Broken;
    read.waitFor = io.waitFor;
    return true;
}

ConnectionStream::Read ConnectionStream::read(std::uint8_t* buffer, std::size_t length) {
    Read read;
    if (connection_.closeReceived()) {
        read.outcome = Outcome::ServerClosed;
        return read;
    }
    for (;;) {
        if (decodeBuffered(buffer, length, read)) return read;
        if (read.pongsQueued) return read;  // answer them before reading on
        if (buffer && connection_.dataPayloadPending() > 0) {
            readDirect(buffer, length, read);
            return read;
        }
        if (refill(read)) return read;
    }
}

std::optional<IoResult> ConnectionStream::writeSome(bool dataOnly) {
    const std::span<const std::uint8_t> bytes = connection_.output();
    if (ended_ || bytes.empty() || (dataOnly && !connection_.dataQueued())) return std::nullopt;
    const IoResult io = stream_->write(bytes.data(), bytes.size());
    if (io.status == IoStatus::Done) {
        connection_.outputWritten(io.bytes);
        connection_.noteTraffic(Clock::now());
    } else if (io.status != IoStatus::WouldBlock) {
        end(ERROR_WINHTTP_CONNECTION_ERROR);
    }
    return io;
}

bool ConnectionStream::abandonUnwritten() {
    return !connection_.midFrame() && connection_.withdrawData();
}

bool ConnectionStream::queueKeepalive(bool writerBusy) {
    const Deadline now = Clock::now();
    if (!writerBusy) return connection_.queueKeepaliveIfDue(now);
    if (now >= connection_.keepaliveDue()) connection_.noteTraffic(now);
    return false;
}

void ConnectionStream::end(DWORD failure) {
    if (failure_ == ERROR_SUCCESS) failure_ = failure;
    if (ended_) return;
    stream_->shutdown();
    ended_ = true;
}

}  // namespace wsbridge::transport
