#include "transport/linux/websocket_channel.h"

#include <utility>

#include "transport/linux/winhttp_mapping.h"

namespace wsbridge::transport {

WebSocketChannel::WebSocketChannel(std::unique_ptr<ByteStream> stream,
                                   std::vector<std::uint8_t> frameBytes, ChannelTiming timing)
    : HandleObject(handleKind),
      timing_(timing),
      fd_(stream->fd()),
      stream_(std::move(stream), std::move(frameBytes), timing.keepalive) {}

// ---- Receiving -------------------------------------------------------------------------------

DWORD WebSocketChannel::receive(void* buffer, DWORD length, DWORD& bytesRead,
                                WINHTTP_WEB_SOCKET_BUFFER_TYPE& type) {
    if (!buffer || length == 0) return ERROR_INVALID_PARAMETER;
    for (;;) {
        if (receiveCancelled_.raised()) return ERROR_WINHTTP_OPERATION_CANCELLED;
        ConnectionStream::Read read;
        Deadline keepaliveDue;
        {
            std::lock_guard<std::mutex> lock(ioLock_);
            if (closeDelivered_) return ERROR_INVALID_OPERATION;
            if (stream_.failure() != ERROR_SUCCESS) return stream_.failure();
            read = stream_.read(static_cast<std::uint8_t*>(buffer), length);
            if (read.outcome == Outcome::ServerClosed) closeDelivered_ = true;
            keepaliveDue = stream_.connection().keepaliveDue();
        }
        // Control replies go out ahead of the data they came with (after a failure, with the
        // close, within the close bound).
        if (read.pongsQueued && read.outcome != Outcome::Failed) {
            writeAllOutput(deadlineAfter(timing_.send));
        }
        switch (read.outcome) {
            case Outcome::Delivered:
                bytesRead = static_cast<DWORD>(read.bytes);
                type = bufferTypeFor(read.pieceType);
                return ERROR_SUCCESS;
            case Outcome::ServerClosed:
                // The reply close is sent by WinHttpWebSocketClose, as the platform does.
                bytesRead = 0;
                type = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;
                return ERROR_SUCCESS;
            case Outcome::Failed:
                // The connection has queued the close the error calls for (RFC 6455 7.1.7): it
                // goes out within the close bound, then the connection ends.
                writeAllOutput(deadlineAfter(timing_.closeWait));
                return breakConnection(platformErrorFor(read.error));
            case Outcome::Broken:
                return breakConnection(ERROR_WINHTTP_CONNECTION_ERROR);
            case Outcome::MustWait:
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

DWORD WebSocketChannel::breakConnection(DWORD error) {
    std::lock_guard<std::mutex> lock(ioLock_);
    stream_.end(error);
    return stream_.failure();
}

void WebSocketChannel::sendKeepaliveIfDue() {
    std::unique_lock<std::mutex> writing(writeLock_, std::try_to_lock);
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(ioLock_);
        queued = stream_.queueKeepalive(!writing.owns_lock());
    }
    if (queued) writeOutputLocked(deadlineAfter(timing_.send), false);
}

// ---- Sending ---------------------------------------------------------------------------------

DWORD WebSocketChannel::writeOutputLocked(Deadline deadline, bool dataOnly) {
    bool ended = false;
    const DWORD error =
        writeWithin(fd_, deadline, {&handleClosed_}, [&]() -> std::optional<IoResult> {
            std::lock_guard<std::mutex> lock(ioLock_);
            ended = stream_.ended();
            return stream_.writeSome(dataOnly);
        });
    if (!ended && error == ERROR_SUCCESS) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(ioLock_);
    // A frame cut short leaves the stream unusable; an untouched one does not, and a send that
    // never began is taken back.
    const bool usable = stream_.abandonUnwritten();
    if (ended) return stream_.endedWith();
    if (!usable) stream_.end(ERROR_WINHTTP_CONNECTION_ERROR);
    return error;
}

DWORD WebSocketChannel::writeAllOutput(Deadline deadline) {
    std::lock_guard<std::mutex> lock(writeLock_);
    return writeOutputLocked(deadline, false);
}

DWORD WebSocketChannel::send(WINHTTP_WEB_SOCKET_BUFFER_TYPE type, const void* data, DWORD length) {
    const std::optional<protocol::PieceType> piece = pieceTypeFor(type);
    if (!piece || (length > 0 && !data)) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(writeLock_);
    const Deadline deadline = deadlineAfter(timing_.send);
    {
        std::lock_guard<std::mutex> io(ioLock_);
        const protocol::ProtocolError refused =
            stream_.connection().send(*piece, {static_cast<const std::uint8_t*>(data), length});
        if (refused != protocol::ProtocolError::None) return platformErrorFor(refused);
    }
    return writeOutputLocked(deadline, true);
}

// ---- Closing ---------------------------------------------------------------------------------

// RFC 6455 7.1.1: after our close, read (and drop) until the server's close arrives or the
// deadline passes, before the TCP connection is shut.
void WebSocketChannel::awaitServerClose(Deadline deadline) {
    for (;;) {
        ConnectionStream::Read read;
        {
            std::lock_guard<std::mutex> lock(ioLock_);
            if (!stream_.connection().closeExpected() || stream_.ended()) return;
            read = stream_.read(nullptr, 0);
        }
        if (read.outcome != Outcome::MustWait) return;
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
            stream_.connection().close(status,
                                       {static_cast<const std::uint8_t*>(reason), reasonLength});
        }
        writeOutputLocked(deadline, false);
    }
    awaitServerClose(deadline);
    std::lock_guard<std::mutex> lock(ioLock_);
    stream_.end();
    return ERROR_SUCCESS;
}

void WebSocketChannel::onHandleClosed() {
    handleClosed_.raise();
    receiveCancelled_.raise();
    std::lock_guard<std::mutex> lock(ioLock_);
    stream_.end();
}

}  // namespace wsbridge::transport
