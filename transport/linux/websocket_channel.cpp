#include "transport/linux/websocket_channel.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "transport/linux/random_bytes.h"
#include "transport/linux/winhttp_mapping.h"

namespace wsbridge::transport {
namespace {

// Large reads, many frames parsed per read: no system call per frame.
inline constexpr std::size_t inboxSize = std::size_t{64} * 1024;
// A frame payload (or a direct read) at least this large means large frames are arriving.
inline constexpr std::size_t largeDirectRead = inboxSize / 2;

using protocol::ConnectionEventKind;

}  // namespace

WebSocketChannel::WebSocketChannel(std::unique_ptr<ByteStream> stream,
                                   std::vector<std::uint8_t> frameBytes, ChannelTiming timing)
    : HandleObject(handleKind),
      timing_(timing),
      fd_(stream->fd()),
      stream_(std::move(stream)),
      connection_(transportRandom(), timing.keepalive, Clock::now()),
      inbox_(std::max(inboxSize, frameBytes.size())) {
    std::copy(frameBytes.begin(), frameBytes.end(), inbox_.begin());
    inboxEnd_ = frameBytes.size();
}

// ---- Receiving -------------------------------------------------------------------------------

bool WebSocketChannel::decodeBufferedLocked(std::uint8_t* buffer, std::size_t length, Read& read) {
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
                read.outcome = ReadOutcome::Delivered;
                read.bytes = event.payload.size();
                read.pieceType = event.pieceType;
                return true;
            case ConnectionEventKind::PingAnswered:
                read.pongsQueued = true;
                continue;
            case ConnectionEventKind::ServerClosed:
                read.outcome = ReadOutcome::ServerClosed;
                return true;
            case ConnectionEventKind::Failed:
                read.outcome = ReadOutcome::Failed;
                read.error = event.error;
                return true;
        }
        break;
    }
    inboxStart_ = inboxEnd_ = 0;
    return false;
}

// Inside a data frame's payload the bytes can go straight into the caller's buffer.
void WebSocketChannel::readDirectLocked(std::uint8_t* buffer, std::size_t length, Read& read) {
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(connection_.dataPayloadPending(), length));
    const IoResult io = stream_->read(buffer, wanted);
    if (io.status != IoStatus::Done) {
        read.outcome =
            io.status == IoStatus::WouldBlock ? ReadOutcome::MustWait : ReadOutcome::Broken;
        read.waitFor = io.waitFor;
        return;
    }
    connection_.noteTraffic(Clock::now());
    if (io.bytes >= largeDirectRead) probeNextHeader_ = true;
    const protocol::ConnectionEvent event = connection_.receive({buffer, io.bytes}, length);
    if (event.kind != ConnectionEventKind::Data) {  // cannot happen inside a payload; fail safe
        read.outcome = ReadOutcome::Broken;
        return;
    }
    if (event.payload.data() != buffer) {
        std::memmove(buffer, event.payload.data(), event.payload.size());
    }
    read.outcome = ReadOutcome::Delivered;
    read.bytes = event.payload.size();
    read.pieceType = event.pieceType;
}

// Measured with the loopback benchmark (perf, 64 KiB messages): copying payloads out of inbox_
// was a fifth of the worker's time. While large frames arrive, only the next header is read
// here, and its payload then comes by readDirectLocked; any other bytes the short read brings
// are decoded as usual, so the result is the same whatever the frames are.
bool WebSocketChannel::refillLocked(Read& read) {
    const std::size_t wanted =
        std::exchange(probeNextHeader_, false) ? protocol::maxServerHeaderSize : inbox_.size();
    const IoResult io = stream_->read(inbox_.data(), wanted);
    if (io.status == IoStatus::Done) {
        connection_.noteTraffic(Clock::now());
        inboxStart_ = 0;
        inboxEnd_ = io.bytes;
        return false;
    }
    read.outcome = io.status == IoStatus::WouldBlock ? ReadOutcome::MustWait : ReadOutcome::Broken;
    read.waitFor = io.waitFor;
    return true;
}

WebSocketChannel::Read WebSocketChannel::readLocked(std::uint8_t* buffer, std::size_t length) {
    Read read;
    for (;;) {
        if (decodeBufferedLocked(buffer, length, read)) return read;
        if (read.pongsQueued) return read;  // answer them before reading on
        if (buffer && connection_.dataPayloadPending() > 0) {
            readDirectLocked(buffer, length, read);
            return read;
        }
        if (refillLocked(read)) return read;
    }
}

DWORD WebSocketChannel::receive(void* buffer, DWORD length, DWORD& bytesRead,
                                WINHTTP_WEB_SOCKET_BUFFER_TYPE& type) {
    if (!buffer || length == 0) return ERROR_INVALID_PARAMETER;
    for (;;) {
        if (receiveCancelled_.raised()) return ERROR_WINHTTP_OPERATION_CANCELLED;
        Read read;
        Deadline keepaliveDue;
        {
            std::lock_guard<std::mutex> lock(ioLock_);
            if (closeDelivered_) return ERROR_INVALID_OPERATION;
            if (failure_ != ERROR_SUCCESS) return failure_;
            if (connection_.closeReceived()) {
                read.outcome = ReadOutcome::ServerClosed;
            } else {
                read = readLocked(static_cast<std::uint8_t*>(buffer), length);
            }
            if (read.outcome == ReadOutcome::ServerClosed) closeDelivered_ = true;
            keepaliveDue = connection_.keepaliveDue();
        }
        // Control replies go out ahead of the data they came with (after a failure, with the
        // close, within the close bound).
        if (read.pongsQueued && read.outcome != ReadOutcome::Failed) {
            writeAllOutput(deadlineAfter(timing_.send));
        }
        switch (read.outcome) {
            case ReadOutcome::Delivered:
                bytesRead = static_cast<DWORD>(read.bytes);
                type = bufferTypeFor(read.pieceType);
                return ERROR_SUCCESS;
            case ReadOutcome::ServerClosed:
                // The reply close is sent by WinHttpWebSocketClose, as the platform does.
                bytesRead = 0;
                type = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;
                return ERROR_SUCCESS;
            case ReadOutcome::Failed:
                return failReceive(platformErrorFor(read.error));
            case ReadOutcome::Broken:
                return latchFailure(ERROR_WINHTTP_CONNECTION_ERROR);
            case ReadOutcome::MustWait:
                break;
        }
        if (read.pongsQueued) continue;  // there may be more to read already
        switch (
            waitUntilReady(fd_, read.waitFor, {&receiveCancelled_, &handleClosed_}, keepaliveDue)) {
            case Readiness::Ready:
                break;
            case Readiness::Woken:
                return ERROR_WINHTTP_OPERATION_CANCELLED;
            case Readiness::TimedOut:
                sendKeepaliveIfDue();
                break;
            case Readiness::Failed:
                breakConnection(ERROR_WINHTTP_CONNECTION_ERROR);
                break;
        }
    }
}

// The connection has queued the close the error calls for (RFC 6455 7.1.7): it goes out within
// the close bound, then the connection ends.
DWORD WebSocketChannel::failReceive(DWORD error) {
    writeAllOutput(deadlineAfter(timing_.closeWait));
    return latchFailure(error);
}

DWORD WebSocketChannel::latchFailure(DWORD error) {
    breakConnection(error);
    std::lock_guard<std::mutex> lock(ioLock_);
    return failure_;
}

void WebSocketChannel::sendKeepaliveIfDue() {
    std::unique_lock<std::mutex> writing(writeLock_, std::try_to_lock);
    {
        std::lock_guard<std::mutex> lock(ioLock_);
        const Deadline now = Clock::now();
        if (!writing.owns_lock()) {
            // A frame is going out right now: that is traffic enough.
            if (now >= connection_.keepaliveDue()) connection_.noteTraffic(now);
            return;
        }
        if (!connection_.queueKeepaliveIfDue(now)) return;
    }
    writeOutputLocked(deadlineAfter(timing_.send), WriteScope::Everything);
}

// ---- Sending ---------------------------------------------------------------------------------

DWORD WebSocketChannel::writeOutputLocked(Deadline deadline, WriteScope scope) {
    DWORD latched = ERROR_SUCCESS;
    bool streamFailed = false;
    const DWORD error =
        writeWithin(fd_, deadline, {&handleClosed_}, [&]() -> std::optional<IoResult> {
            std::lock_guard<std::mutex> lock(ioLock_);
            if (failure_ != ERROR_SUCCESS || shut_) {
                latched = failure_ != ERROR_SUCCESS ? failure_ : ERROR_WINHTTP_CONNECTION_ERROR;
                return std::nullopt;
            }
            const std::span<const std::uint8_t> bytes = connection_.output();
            if (bytes.empty() || (scope == WriteScope::Data && !connection_.dataQueued())) {
                return std::nullopt;
            }
            const IoResult io = stream_->write(bytes.data(), bytes.size());
            if (io.status == IoStatus::Done) {
                connection_.outputWritten(io.bytes);
                connection_.noteTraffic(Clock::now());
            }
            streamFailed = io.status == IoStatus::Closed || io.status == IoStatus::Failed;
            return io;
        });
    if (latched == ERROR_SUCCESS && error == ERROR_SUCCESS) return ERROR_SUCCESS;
    bool usable = false;
    {
        std::lock_guard<std::mutex> lock(ioLock_);
        // A frame cut short leaves the stream unusable; an untouched one does not, and a send
        // that never began is taken back.
        usable = !streamFailed && !connection_.midFrame() && connection_.withdrawData();
    }
    if (latched != ERROR_SUCCESS) return latched;
    if (!usable) breakConnection(ERROR_WINHTTP_CONNECTION_ERROR);
    return error;
}

DWORD WebSocketChannel::writeAllOutput(Deadline deadline) {
    std::lock_guard<std::mutex> lock(writeLock_);
    return writeOutputLocked(deadline, WriteScope::Everything);
}

DWORD WebSocketChannel::send(WINHTTP_WEB_SOCKET_BUFFER_TYPE type, const void* data, DWORD length) {
    const std::optional<protocol::PieceType> piece = pieceTypeFor(type);
    if (!piece || (length > 0 && !data)) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(writeLock_);
    const Deadline deadline = deadlineAfter(timing_.send);
    {
        std::lock_guard<std::mutex> io(ioLock_);
        const protocol::ProtocolError refused =
            connection_.send(*piece, {static_cast<const std::uint8_t*>(data), length});
        if (refused != protocol::ProtocolError::None) return platformErrorFor(refused);
    }
    return writeOutputLocked(deadline, WriteScope::Data);
}

// ---- Closing ---------------------------------------------------------------------------------

// RFC 6455 7.1.1: after our close, read (and drop) until the server's close arrives or the
// deadline passes, before the TCP connection is shut.
void WebSocketChannel::awaitServerClose(Deadline deadline) {
    for (;;) {
        Read read;
        {
            std::lock_guard<std::mutex> lock(ioLock_);
            if (!connection_.closeExpected() || shut_ || failure_ != ERROR_SUCCESS) return;
            read = readLocked(nullptr, 0);
        }
        if (read.outcome != ReadOutcome::MustWait) return;
        if (waitUntilReady(fd_, read.waitFor, {&handleClosed_}, deadline) != Readiness::Ready) {
            return;
        }
    }
}

DWORD WebSocketChannel::close(USHORT status, const void* reason, DWORD reasonLength) {
    if ((reasonLength > 0 && !reason) || reasonLength > protocol::maxCloseReason ||
        !protocol::isSendableCloseCode(status)) {
        return ERROR_INVALID_PARAMETER;
    }
    receiveCancelled_.raise();
    // One bound for the whole close: a server that neither reads nor answers holds us no longer.
    const Deadline deadline = deadlineAfter(timing_.closeWait);
    {
        std::lock_guard<std::mutex> writing(writeLock_);
        {
            std::lock_guard<std::mutex> lock(ioLock_);
            // RFC 6455 5.5.1: one close per endpoint; a second call queues nothing.
            connection_.close(status, {static_cast<const std::uint8_t*>(reason), reasonLength});
        }
        writeOutputLocked(deadline, WriteScope::Everything);
    }
    awaitServerClose(deadline);
    std::lock_guard<std::mutex> lock(ioLock_);
    shutLocked();
    return ERROR_SUCCESS;
}

void WebSocketChannel::onHandleClosed() {
    handleClosed_.raise();
    receiveCancelled_.raise();
    std::lock_guard<std::mutex> lock(ioLock_);
    shutLocked();
}

void WebSocketChannel::breakConnection(DWORD error) {
    std::lock_guard<std::mutex> lock(ioLock_);
    if (failure_ == ERROR_SUCCESS) failure_ = error;
    shutLocked();
}

void WebSocketChannel::shutLocked() {
    if (shut_) return;
    stream_->shutdown();
    shut_ = true;
}

}  // namespace wsbridge::transport
