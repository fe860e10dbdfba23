#include "transport/linux/websocket_channel.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "transport/linux/random_bytes.h"
#include "transport/protocol/frame_format.h"
#include "transport/protocol/protocol_error.h"

namespace wsbridge::transport {
namespace {

// Large reads, many frames parsed per read: no system call per frame.
inline constexpr std::size_t inboxSize = std::size_t{64} * 1024;
// The header of every frame longer than 65535 bytes (RFC 6455 5.2: 2 bytes and a 64-bit length):
// what a refill reads while large frames arrive.
inline constexpr std::size_t largeFrameHeaderSize = 2 + 8;
// A frame payload (or a direct read) at least this large means large frames are arriving.
inline constexpr std::size_t largeDirectRead = inboxSize / 2;

using protocol::FrameEventKind;
using protocol::Opcode;

bool isTextType(WINHTTP_WEB_SOCKET_BUFFER_TYPE type) {
    return type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE ||
           type == WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE;
}

bool isFinalType(WINHTTP_WEB_SOCKET_BUFFER_TYPE type) {
    return type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE ||
           type == WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
}

bool isDataType(WINHTTP_WEB_SOCKET_BUFFER_TYPE type) {
    return type == WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE ||
           type == WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE || isTextType(type);
}

}  // namespace

WebSocketChannel::WebSocketChannel(std::unique_ptr<ByteStream> stream,
                                   std::vector<std::uint8_t> frameBytes)
    : HandleObject(handleKind),
      fd_(stream->fd()),
      stream_(std::move(stream)),
      inbox_(std::max(inboxSize, frameBytes.size())) {
    std::copy(frameBytes.begin(), frameBytes.end(), inbox_.begin());
    inboxEnd_ = frameBytes.size();
    noteTraffic();
}

void WebSocketChannel::noteTraffic() {
    lastTraffic_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

Deadline WebSocketChannel::keepaliveDeadline() const {
    const Clock::duration since(lastTraffic_.load(std::memory_order_relaxed));
    return Deadline(since) + timeLimit::keepalive;
}

// ---- Receiving -------------------------------------------------------------------------------

bool WebSocketChannel::decodeBufferedLocked(Delivery& delivery, PongPayloads& pongs, Pump& pump) {
    const std::size_t pieceLimit = delivery.buffer ? delivery.length : inbox_.size();
    while (inboxStart_ < inboxEnd_) {
        const std::span<const std::uint8_t> input(inbox_.data() + inboxStart_,
                                                  inboxEnd_ - inboxStart_);
        const protocol::FrameEvent event = decoder_.next(input, pieceLimit);
        inboxStart_ += event.consumed;
        switch (event.kind) {
            case FrameEventKind::NeedMore:
                break;
            case FrameEventKind::Data:
                if (!delivery.buffer) continue;  // draining before a close
                std::memcpy(delivery.buffer, event.payload.data(), event.payload.size());
                // A large frame that goes on past what this read brought.
                if (decoder_.dataPayloadPending() > 0 &&
                    event.payload.size() + decoder_.dataPayloadPending() >= largeDirectRead) {
                    probeNextHeader_ = true;
                }
                delivery.bytes = event.payload.size();
                delivery.type = event.bufferType;
                pump.outcome = PumpOutcome::Delivered;
                return true;
            case FrameEventKind::Ping:
                // RFC 6455 5.5.2: answer with a pong carrying the same payload; not while closing.
                if (delivery.buffer) pongs.emplace_back(event.payload.begin(), event.payload.end());
                continue;
            case FrameEventKind::Pong:
                continue;
            case FrameEventKind::Close:
                closeReceived_ = true;
                serverCloseCode_ = event.closeCode;
                serverCloseReason_.assign(event.payload.begin(), event.payload.end());
                pump.outcome = PumpOutcome::ServerClosed;
                return true;
            case FrameEventKind::Error:
                pump.outcome = PumpOutcome::ProtocolFailure;
                pump.error = event.error;
                return true;
        }
        break;
    }
    inboxStart_ = inboxEnd_ = 0;
    return false;
}

// Inside a data frame's payload the bytes can go straight into the caller's buffer.
bool WebSocketChannel::readDirectLocked(Delivery& delivery, Pump& pump) {
    const std::size_t wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(decoder_.dataPayloadPending(), delivery.length));
    const IoResult io = stream_->read(delivery.buffer, wanted);
    if (io.status != IoStatus::Done) {
        pump.outcome =
            io.status == IoStatus::WouldBlock ? PumpOutcome::MustWait : PumpOutcome::Broken;
        pump.waitFor = io.waitFor;
        return true;
    }
    noteTraffic();
    if (io.bytes >= largeDirectRead) probeNextHeader_ = true;
    const protocol::FrameEvent event =
        decoder_.next(std::span<const std::uint8_t>(delivery.buffer, io.bytes), delivery.length);
    if (event.kind != FrameEventKind::Data) {  // cannot happen inside a payload; fail safe
        pump.outcome = PumpOutcome::Broken;
        return true;
    }
    if (event.payload.data() != delivery.buffer) {
        std::memmove(delivery.buffer, event.payload.data(), event.payload.size());
    }
    delivery.bytes = event.payload.size();
    delivery.type = event.bufferType;
    pump.outcome = PumpOutcome::Delivered;
    return true;
}

// Measured with the loopback benchmark (perf, 64 KiB messages): copying payloads out of inbox_
// was a fifth of the worker's time. While large frames arrive, only the next header is read
// here, and its payload then comes by readDirectLocked; any other bytes the short read brings
// are decoded as usual, so the result is the same whatever the frames are.
bool WebSocketChannel::refillLocked(Pump& pump) {
    const std::size_t wanted =
        std::exchange(probeNextHeader_, false) ? largeFrameHeaderSize : inbox_.size();
    const IoResult io = stream_->read(inbox_.data(), wanted);
    if (io.status == IoStatus::Done) {
        noteTraffic();
        inboxStart_ = 0;
        inboxEnd_ = io.bytes;
        return false;
    }
    pump.outcome = io.status == IoStatus::WouldBlock ? PumpOutcome::MustWait : PumpOutcome::Broken;
    pump.waitFor = io.waitFor;
    return true;
}

WebSocketChannel::Pump WebSocketChannel::pumpLocked(Delivery& delivery, PongPayloads& pongs) {
    Pump pump;
    for (;;) {
        if (decodeBufferedLocked(delivery, pongs, pump)) return pump;
        if (delivery.buffer && decoder_.dataPayloadPending() > 0 && pongs.empty()) {
            readDirectLocked(delivery, pump);
            return pump;
        }
        if (!pongs.empty()) return pump;  // answer them before reading on
        if (refillLocked(pump)) return pump;
    }
}

DWORD WebSocketChannel::receive(void* buffer, DWORD length, DWORD& bytesRead,
                                WINHTTP_WEB_SOCKET_BUFFER_TYPE& type) {
    if (!buffer || length == 0) return ERROR_INVALID_PARAMETER;
    for (;;) {
        if (receiveCancelled_.raised()) return ERROR_WINHTTP_OPERATION_CANCELLED;
        Delivery delivery{static_cast<std::uint8_t*>(buffer), length};
        PongPayloads pongs;
        Pump pump;
        {
            std::lock_guard<std::mutex> lock(ioLock_);
            if (closeDelivered_) return ERROR_INVALID_OPERATION;
            if (failure_ != ERROR_SUCCESS) return failure_;
            if (closeReceived_) {
                pump.outcome = PumpOutcome::ServerClosed;
            } else {
                pump = pumpLocked(delivery, pongs);
            }
            if (pump.outcome == PumpOutcome::ServerClosed) closeDelivered_ = true;
        }
        sendPongs(pongs);  // control replies go out ahead of the data they came with
        switch (pump.outcome) {
            case PumpOutcome::Delivered:
                bytesRead = static_cast<DWORD>(delivery.bytes);
                type = delivery.type;
                return ERROR_SUCCESS;
            case PumpOutcome::ServerClosed:
                // The reply close is sent by WinHttpWebSocketClose, as the platform does.
                bytesRead = 0;
                type = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;
                return ERROR_SUCCESS;
            case PumpOutcome::ProtocolFailure:
            case PumpOutcome::Broken:
                return failReceive(pump);
            case PumpOutcome::MustWait:
                break;
        }
        if (!pongs.empty()) continue;  // there may be more to read already
        switch (waitUntilReady(fd_, pump.waitFor, {&receiveCancelled_, &handleClosed_},
                               keepaliveDeadline())) {
            case Readiness::Ready:
                break;
            case Readiness::Woken:
                return ERROR_WINHTTP_OPERATION_CANCELLED;
            case Readiness::TimedOut:
                sendKeepaliveIfIdle();
                break;
            case Readiness::Failed:
                breakConnection(ERROR_WINHTTP_CONNECTION_ERROR);
                break;
        }
    }
}

// RFC 6455 7.1.7: fail the connection, with the close code the error calls for when it has one.
DWORD WebSocketChannel::failReceive(const Pump& pump) {
    DWORD error = ERROR_WINHTTP_CONNECTION_ERROR;
    if (pump.outcome == PumpOutcome::ProtocolFailure) {
        error = protocol::platformErrorFor(pump.error);
        if (error == ERROR_SUCCESS) error = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        if (const std::uint16_t code = protocol::closeCodeFor(pump.error); code != 0) {
            sendClose(code, {}, deadlineAfter(timeLimit::closeWait));
        }
    }
    breakConnection(error);
    std::lock_guard<std::mutex> lock(ioLock_);
    return failure_;
}

void WebSocketChannel::sendPongs(const PongPayloads& pongs) {
    for (const auto& payload : pongs) {
        const Deadline deadline = deadlineAfter(timeLimit::send);
        std::lock_guard<std::mutex> lock(writeLock_);
        if (closeSent_) return;
        outgoing_.clear();
        if (protocol::appendPong(outgoing_, payload, transportRandom()) !=
            protocol::ProtocolError::None) {
            return;
        }
        if (writeFrame(outgoing_, deadline) != ERROR_SUCCESS) return;
    }
}

void WebSocketChannel::sendKeepaliveIfIdle() {
    if (Clock::now() < keepaliveDeadline()) return;
    std::unique_lock<std::mutex> lock(writeLock_, std::try_to_lock);
    if (!lock.owns_lock() || closeSent_) {
        noteTraffic();  // a frame is going out right now; that is traffic enough
        return;
    }
    // RFC 6455 5.5.3: an unsolicited pong serves as a unidirectional heartbeat.
    outgoing_.clear();
    if (protocol::appendPong(outgoing_, {}, transportRandom()) != protocol::ProtocolError::None) {
        noteTraffic();
        return;
    }
    writeFrame(outgoing_, deadlineAfter(timeLimit::send));
}

// ---- Sending ---------------------------------------------------------------------------------

DWORD WebSocketChannel::writeFrame(std::span<const std::uint8_t> frame, Deadline deadline) {
    std::size_t offset = 0;
    while (offset < frame.size()) {
        IoResult io;
        {
            std::lock_guard<std::mutex> lock(ioLock_);
            if (failure_ != ERROR_SUCCESS) return failure_;
            if (shut_) return ERROR_WINHTTP_CONNECTION_ERROR;
            io = stream_->write(frame.data() + offset, frame.size() - offset);
        }
        if (io.status == IoStatus::Done) {
            offset += io.bytes;
            noteTraffic();
            continue;
        }
        DWORD error = ERROR_WINHTTP_CONNECTION_ERROR;
        if (io.status == IoStatus::WouldBlock) {
            const Readiness ready = waitUntilReady(fd_, io.waitFor, {&handleClosed_}, deadline);
            if (ready == Readiness::Ready) continue;
            error = ready == Readiness::TimedOut ? ERROR_WINHTTP_TIMEOUT
                    : ready == Readiness::Woken  ? ERROR_WINHTTP_OPERATION_CANCELLED
                                                 : ERROR_WINHTTP_CONNECTION_ERROR;
            // A frame cut short leaves the stream unusable; an untouched one does not.
            if (offset == 0) return error;
        }
        breakConnection(ERROR_WINHTTP_CONNECTION_ERROR);
        return error;
    }
    return ERROR_SUCCESS;
}

DWORD WebSocketChannel::send(WINHTTP_WEB_SOCKET_BUFFER_TYPE type, const void* data, DWORD length) {
    if (!isDataType(type) || (length > 0 && !data)) return ERROR_INVALID_PARAMETER;
    const OutgoingMessage kind = isTextType(type) ? OutgoingMessage::Text : OutgoingMessage::Binary;
    std::lock_guard<std::mutex> lock(writeLock_);
    const Deadline deadline = deadlineAfter(timeLimit::send);
    if (closeSent_) return ERROR_INVALID_OPERATION;  // RFC 6455 5.5.1: no data after our close
    // RFC 6455 5.4: the fragments of one message go out in order, none of another between them.
    if (outgoingMessage_ != OutgoingMessage::None && outgoingMessage_ != kind) {
        return ERROR_INVALID_PARAMETER;
    }
    const Opcode opcode = outgoingMessage_ != OutgoingMessage::None ? Opcode::Continuation
                          : kind == OutgoingMessage::Text           ? Opcode::Text
                                                                    : Opcode::Binary;
    const bool final = isFinalType(type);
    outgoing_.clear();
    const std::span<const std::uint8_t> payload(static_cast<const std::uint8_t*>(data), length);
    if (protocol::appendFrame(outgoing_, opcode, payload, transportRandom(), final) !=
        protocol::ProtocolError::None) {
        return ERROR_WINHTTP_INTERNAL_ERROR;
    }
    const DWORD error = writeFrame(outgoing_, deadline);
    if (error == ERROR_SUCCESS) outgoingMessage_ = final ? OutgoingMessage::None : kind;
    return error;
}

// ---- Closing ---------------------------------------------------------------------------------

DWORD WebSocketChannel::sendClose(std::uint16_t code, std::span<const std::uint8_t> reason,
                                  Deadline deadline) {
    std::lock_guard<std::mutex> lock(writeLock_);
    if (closeSent_) return ERROR_SUCCESS;  // RFC 6455 5.5.1: one close per endpoint
    outgoing_.clear();
    const std::string_view reasonText(reinterpret_cast<const char*>(reason.data()), reason.size());
    if (protocol::appendClose(outgoing_, code, reasonText, transportRandom()) !=
        protocol::ProtocolError::None) {
        return ERROR_INVALID_PARAMETER;
    }
    closeSent_ = true;
    return writeFrame(outgoing_, deadline);
}

// RFC 6455 7.1.1: after our close, read (and drop) until the server's close arrives or the
// deadline passes, before the TCP connection is shut.
void WebSocketChannel::awaitServerClose(Deadline deadline) {
    for (;;) {
        Delivery drain;
        PongPayloads ignored;
        Pump pump;
        {
            std::lock_guard<std::mutex> lock(ioLock_);
            if (closeReceived_ || shut_ || failure_ != ERROR_SUCCESS) return;
            pump = pumpLocked(drain, ignored);
        }
        if (pump.outcome != PumpOutcome::MustWait) return;
        if (waitUntilReady(fd_, pump.waitFor, {&handleClosed_}, deadline) != Readiness::Ready) {
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
    const Deadline deadline = deadlineAfter(timeLimit::closeWait);
    sendClose(status,
              std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(reason), reasonLength),
              deadline);
    awaitServerClose(deadline);
    std::lock_guard<std::mutex> lock(ioLock_);
    shutLocked();
    return ERROR_SUCCESS;
}

DWORD WebSocketChannel::queryCloseStatus(USHORT& status, void* reason, DWORD reasonLength,
                                         DWORD& reasonUsed) {
    std::lock_guard<std::mutex> lock(ioLock_);
    if (!closeReceived_) return ERROR_INVALID_OPERATION;
    if (serverCloseReason_.size() > reasonLength) return ERROR_INSUFFICIENT_BUFFER;
    std::copy(serverCloseReason_.begin(), serverCloseReason_.end(),
              static_cast<std::uint8_t*>(reason));
    status = serverCloseCode_;
    reasonUsed = static_cast<DWORD>(serverCloseReason_.size());
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
