// The connection's rules: what each decoded frame means in each state, and the order in which
// our frames go out.
#include "transport/protocol/client_connection.h"

#include <algorithm>

namespace wsbridge::protocol {

ClientConnection::ClientConnection(RandomSource& random, Duration keepaliveInterval, TimePoint now)
    : random_(random), keepaliveInterval_(keepaliveInterval), lastTraffic_(now) {}

// ---- Receiving -------------------------------------------------------------------------------

ConnectionEvent ClientConnection::receive(std::span<const std::uint8_t> input,
                                          std::size_t pieceLimit) {
    ConnectionEvent event;
    event.consumed = input.size();
    // After the server's close or a failure nothing is read: the input is taken, unread.
    if (serverCloseReceived_ || state_ == ConnectionState::Closed) return event;
    std::size_t offset = 0;
    for (;;) {
        const FrameEvent frame = decoder_.next(input.subspan(offset), pieceLimit);
        offset += frame.consumed;
        switch (frame.kind) {
            case FrameEventKind::NeedMore:
                event.consumed = offset;
                return event;
            case FrameEventKind::Data:
                event.kind = ConnectionEventKind::Data;
                event.consumed = offset;
                event.payload = frame.payload;
                event.pieceType = frame.pieceType;
                return event;
            case FrameEventKind::Ping:
                // RFC 6455 5.5.2: a pong with the same payload, ahead of any data not yet begun.
                // Not once our close is out: the server's close is all we wait for then.
                if (!answersPings() ||
                    appendPong(control_, frame.payload, random_) != ProtocolError::None) {
                    continue;
                }
                event.kind = ConnectionEventKind::PingAnswered;
                event.consumed = offset;
                return event;
            case FrameEventKind::Pong:
                continue;  // RFC 6455 5.5.3: no answer expected
            case FrameEventKind::Close:
                return serverClosed(frame, offset);
            case FrameEventKind::Error:
                return failed(frame.error, offset);
        }
    }
}

ConnectionEvent ClientConnection::serverClosed(const FrameEvent& frame, std::size_t consumed) {
    serverCloseReceived_ = true;
    serverCloseCode_ = frame.closeCode;
    serverCloseReasonSize_ = std::min(frame.payload.size(), serverCloseReason_.size());
    std::copy_n(frame.payload.begin(), serverCloseReasonSize_, serverCloseReason_.begin());
    // RFC 6455 7.1.3: the closing handshake is complete once both closes have been sent.
    state_ = closeQueued_ ? ConnectionState::Closed : ConnectionState::Closing;
    ConnectionEvent event;
    event.kind = ConnectionEventKind::ServerClosed;
    event.consumed = consumed;
    event.payload = frame.payload;
    event.closeCode = frame.closeCode;
    return event;
}

// RFC 6455 7.1.7: fail the connection, with the close code the error calls for.
ConnectionEvent ClientConnection::failed(ProtocolError error, std::size_t consumed) {
    if (const std::uint16_t code = closeCodeFor(error); code != 0 && !closeQueued_) {
        closeQueued_ = appendClose(close_, code, {}, random_) == ProtocolError::None;
    }
    state_ = ConnectionState::Closed;
    ConnectionEvent event;
    event.kind = ConnectionEventKind::Failed;
    event.consumed = consumed;
    event.error = error;
    return event;
}

std::string_view ClientConnection::serverCloseReason() const {
    return {serverCloseReason_.data(), serverCloseReasonSize_};
}

// ---- Sending ---------------------------------------------------------------------------------

ProtocolError ClientConnection::send(PieceType type, std::span<const std::uint8_t> payload) {
    // RFC 6455 5.5.1: no data after our close.
    if (closeQueued_ || state_ == ConnectionState::Closed) return ProtocolError::SendAfterClose;
    if (dataQueued()) return ProtocolError::SendPending;
    const OpenMessage kind = isText(type) ? OpenMessage::Text : OpenMessage::Binary;
    // RFC 6455 5.4: the fragments of one message go out in order, none of another between them.
    if (openMessage_ != OpenMessage::None && openMessage_ != kind) {
        return ProtocolError::MessageTypeChanged;
    }
    const Opcode opcode = openMessage_ != OpenMessage::None ? Opcode::Continuation
                          : kind == OpenMessage::Text       ? Opcode::Text
                                                            : Opcode::Binary;
    data_.clear();  // keeps its storage: a large message is framed without a new allocation
    dataWritten_ = 0;
    const bool final = endsMessage(type);
    if (const ProtocolError error = appendFrame(data_, opcode, payload, random_, final);
        error != ProtocolError::None) {
        return error;
    }
    messageAfterData_ = final ? OpenMessage::None : kind;
    return ProtocolError::None;
}

ProtocolError ClientConnection::close(std::uint16_t code, std::span<const std::uint8_t> reason) {
    if (closeQueued_ || state_ == ConnectionState::Closed) return ProtocolError::None;
    const std::string_view reasonText(reinterpret_cast<const char*>(reason.data()), reason.size());
    if (const ProtocolError error = appendClose(close_, code, reasonText, random_);
        error != ProtocolError::None) {
        return error;
    }
    closeQueued_ = true;
    state_ = serverCloseReceived_ ? ConnectionState::Closed : ConnectionState::Closing;
    return ProtocolError::None;
}

// ---- Output ----------------------------------------------------------------------------------

ClientConnection::Queue ClientConnection::current() const {
    if (dataWritten_ > 0 && dataQueued()) return Queue::Data;  // a frame never gives way
    if (controlWritten_ < control_.size()) return Queue::Control;
    if (dataQueued()) return Queue::Data;
    if (closeWritten_ < close_.size()) return Queue::Close;
    return Queue::None;
}

std::span<const std::uint8_t> ClientConnection::output() const {
    switch (current()) {
        case Queue::Control:
            return std::span(control_).subspan(controlWritten_);
        case Queue::Data:
            return std::span(data_).subspan(dataWritten_);
        case Queue::Close:
            return std::span(close_).subspan(closeWritten_);
        case Queue::None:
            break;
    }
    return {};
}

void ClientConnection::outputWritten(std::size_t count) {
    switch (current()) {
        case Queue::Control:
            controlWritten_ += std::min(count, control_.size() - controlWritten_);
            if (controlWritten_ == control_.size()) {
                control_.clear();
                controlWritten_ = 0;
            }
            return;
        case Queue::Data:
            dataWritten_ += std::min(count, data_.size() - dataWritten_);
            if (dataWritten_ == data_.size()) {
                openMessage_ = messageAfterData_;
                data_.clear();
                dataWritten_ = 0;
            }
            return;
        case Queue::Close:
            closeWritten_ += std::min(count, close_.size() - closeWritten_);
            return;
        case Queue::None:
            return;
    }
}

bool ClientConnection::midFrame() const {
    return (dataWritten_ > 0 && dataQueued()) || controlWritten_ > 0 ||
           (closeWritten_ > 0 && closeWritten_ < close_.size());
}

bool ClientConnection::withdrawData() {
    if (!dataQueued()) return true;
    if (dataWritten_ > 0) return false;
    data_.clear();
    return true;
}

// ---- Time ------------------------------------------------------------------------------------

bool ClientConnection::queueKeepaliveIfDue(TimePoint now) {
    if (now < keepaliveDue()) return false;
    // RFC 6455 5.5.3: an unsolicited pong serves as a unidirectional heartbeat. A frame going out
    // is traffic enough, and a closing connection needs none.
    const bool queued = answersPings() && output().empty() &&
                        appendPong(control_, {}, random_) == ProtocolError::None;
    if (!queued) noteTraffic(now);
    return queued;
}

}  // namespace wsbridge::protocol
