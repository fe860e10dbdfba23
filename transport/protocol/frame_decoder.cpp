// The frame decoder's state machine: header, then the payload of a data frame (reported in
// pieces as it arrives) or of a control frame (reported whole).
#include "transport/protocol/frame_decoder.h"

#include <algorithm>

namespace wsbridge::protocol {
namespace {

constexpr std::uint64_t lengthTopBit = 1ULL << 63;

// A server frame's header size, known from its second byte. A masked frame is refused as soon as
// its header is parsed, so its mask key is never counted.
std::size_t headerSizeFor(std::uint8_t secondByte) {
    switch (secondByte & lengthBits) {
        case length16Marker:
            return baseHeaderSize + length16Size;
        case length64Marker:
            return baseHeaderSize + length64Size;
        default:
            return baseHeaderSize;
    }
}

bool isKnownOpcode(std::uint8_t opcode) {
    switch (static_cast<Opcode>(opcode)) {
        case Opcode::Continuation:
        case Opcode::Text:
        case Opcode::Binary:
        case Opcode::Close:
        case Opcode::Ping:
        case Opcode::Pong:
            return true;
    }
    return false;
}

}  // namespace

FrameEvent FrameDecoder::fail(ProtocolError error, std::size_t consumed) {
    state_ = State::Failed;
    error_ = error;
    FrameEvent event;
    event.kind = FrameEventKind::Error;
    event.consumed = consumed;
    event.error = error;
    return event;
}

ProtocolError FrameDecoder::parseHeader(const std::uint8_t* bytes, std::size_t size,
                                        Header& header) {
    const std::uint8_t first = bytes[0];
    const std::uint8_t second = bytes[1];
    // RFC 6455 5.2: no extension is negotiated, so every RSV bit must be 0.
    if ((first & reservedBits) != 0) return ProtocolError::ReservedBitsSet;
    // RFC 6455 5.1: a client closes the connection on a masked frame.
    if ((second & maskBit) != 0) return ProtocolError::MaskedServerFrame;
    const std::uint8_t opcode = first & opcodeBits;
    if (!isKnownOpcode(opcode)) return ProtocolError::UnknownOpcode;
    header.final = (first & finBit) != 0;
    header.opcode = static_cast<Opcode>(opcode);
    const std::uint8_t length7 = second & lengthBits;
    if (isControl(header.opcode)) {
        // RFC 6455 5.5: control frames are at most 125 bytes and never fragmented.
        if (!header.final) return ProtocolError::FragmentedControlFrame;
        if (length7 > maxLength7) return ProtocolError::ControlFrameTooLong;
    }
    if (size == baseHeaderSize) {
        header.length = length7;
        return ProtocolError::None;
    }
    header.length = readBigEndian(bytes + baseHeaderSize, size - baseHeaderSize);
    if (size == baseHeaderSize + length64Size && (header.length & lengthTopBit) != 0) {
        return ProtocolError::LengthTopBitSet;
    }
    // RFC 6455 5.2: "the minimal number of bytes MUST be used to encode the length".
    const std::uint64_t shortestBelow =
        size == baseHeaderSize + length16Size ? maxLength7 : maxLength16;
    if (header.length <= shortestBelow) return ProtocolError::NonMinimalLength;
    return ProtocolError::None;
}

ProtocolError FrameDecoder::startFrame(const Header& header) {
    if (isControl(header.opcode)) {
        controlOpcode_ = header.opcode;
        controlLength_ = static_cast<std::size_t>(header.length);
        controlSize_ = 0;
        state_ = State::ControlPayload;
        return ProtocolError::None;
    }
    // RFC 6455 5.4: a message is one first frame and then continuations, not interleaved.
    if (header.opcode == Opcode::Continuation) {
        if (!messageOpen_) return ProtocolError::UnexpectedContinuation;
    } else {
        if (messageOpen_) return ProtocolError::DataFrameInsideMessage;
        messageOpen_ = true;
        messageIsText_ = header.opcode == Opcode::Text;
        utf8_.reset();
    }
    frameIsFinal_ = header.final;
    payloadRemaining_ = header.length;
    state_ = State::DataPayload;
    return ProtocolError::None;
}

FrameEvent FrameDecoder::emitData(std::span<const std::uint8_t> input, std::size_t offset,
                                  std::size_t pieceLimit) {
    const std::size_t available = input.size() - offset;
    const std::size_t pieceSize = static_cast<std::size_t>(
        std::min<std::uint64_t>(payloadRemaining_, std::min(available, pieceLimit)));
    const std::span<const std::uint8_t> piece = input.subspan(offset, pieceSize);
    offset += pieceSize;
    payloadRemaining_ -= pieceSize;
    const bool frameDone = payloadRemaining_ == 0;
    const bool lastOfMessage = frameDone && frameIsFinal_;
    if (messageIsText_) {
        // RFC 6455 8.1: checked as it arrives, and at the end for a code point left open.
        if (!utf8_.feed(piece)) return fail(ProtocolError::InvalidUtf8, offset);
        if (lastOfMessage && !utf8_.complete()) return fail(ProtocolError::InvalidUtf8, offset);
    }
    if (frameDone) state_ = State::Header;
    if (lastOfMessage) messageOpen_ = false;
    FrameEvent event;
    event.kind = FrameEventKind::Data;
    event.consumed = offset;
    event.payload = piece;
    event.pieceType = pieceType(messageIsText_, lastOfMessage);
    return event;
}

FrameEvent FrameDecoder::emitControl(std::span<const std::uint8_t> payload, std::size_t consumed) {
    state_ = State::Header;
    FrameEvent event;
    event.consumed = consumed;
    event.payload = payload;
    switch (controlOpcode_) {
        case Opcode::Ping:
            event.kind = FrameEventKind::Ping;
            return event;
        case Opcode::Pong:
            event.kind = FrameEventKind::Pong;
            return event;
        default:
            break;
    }
    // RFC 6455 5.5.1: an optional 2-byte code, then an optional UTF-8 reason.
    std::uint16_t code = closeNoStatus;
    if (payload.size() == 1) return fail(ProtocolError::ClosePayloadTooShort, consumed);
    if (payload.size() >= closeCodeSize) {
        code = static_cast<std::uint16_t>(readBigEndian(payload.data(), closeCodeSize));
        if (!isSendableCloseCode(code)) return fail(ProtocolError::InvalidCloseCode, consumed);
        event.payload = payload.subspan(closeCodeSize);
        if (!isValidUtf8(event.payload)) return fail(ProtocolError::InvalidCloseReason, consumed);
    }
    state_ = State::Closed;
    closeCode_ = code;
    event.kind = FrameEventKind::Close;
    event.closeCode = code;
    return event;
}

bool FrameDecoder::readHeader(std::span<const std::uint8_t> input, std::size_t& offset,
                              Header& header, ProtocolError& error) {
    const std::size_t available = input.size() - offset;
    if (headerSize_ == 0 && available >= baseHeaderSize &&
        available >= headerSizeFor(input[offset + 1])) {
        // The usual case: the whole header is in this input, parsed where it lies.
        const std::size_t size = headerSizeFor(input[offset + 1]);
        error = parseHeader(input.data() + offset, size, header);
        offset += size;
        return true;
    }
    if (!collectHeader(input, offset)) return false;
    error = parseHeader(headerBytes_.data(), headerSize_, header);
    headerSize_ = 0;
    return true;
}

FrameEvent FrameDecoder::readControlPayload(std::span<const std::uint8_t> input,
                                            std::size_t offset) {
    const std::size_t available = input.size() - offset;
    if (controlSize_ == 0 && available >= controlLength_) {
        return emitControl(input.subspan(offset, controlLength_), offset + controlLength_);
    }
    // Split over reads: gathered in the decoder, at most 125 bytes (RFC 6455 5.5).
    const std::size_t take = std::min(available, controlLength_ - controlSize_);
    std::copy_n(input.data() + offset, take, controlBytes_.data() + controlSize_);
    controlSize_ += take;
    if (controlSize_ < controlLength_) return needMore(input);
    controlSize_ = 0;
    return emitControl({controlBytes_.data(), controlLength_}, offset + take);
}

FrameEvent FrameDecoder::next(std::span<const std::uint8_t> input, std::size_t pieceLimit) {
    pieceLimit = std::max<std::size_t>(pieceLimit, 1);
    std::size_t offset = 0;
    for (;;) {
        switch (state_) {
            case State::Header: {
                Header header;
                ProtocolError error = ProtocolError::None;
                if (!readHeader(input, offset, header, error)) return needMore(input);
                if (error == ProtocolError::None) error = startFrame(header);
                if (error != ProtocolError::None) return fail(error, offset);
                // An empty control frame, or the empty final frame of a message, is reported
                // now; an empty frame in the middle of a message has nothing to report.
                if (state_ == State::ControlPayload && controlLength_ == 0) {
                    return emitControl({}, offset);
                }
                if (state_ == State::DataPayload && payloadRemaining_ == 0) {
                    if (frameIsFinal_) return emitData(input, offset, pieceLimit);
                    state_ = State::Header;
                }
                break;
            }
            case State::DataPayload:
                if (offset == input.size()) return needMore(input);
                return emitData(input, offset, pieceLimit);
            case State::ControlPayload:
                return readControlPayload(input, offset);
            case State::Closed:
            case State::Failed:
                return repeatFinal(input);
        }
    }
}

bool FrameDecoder::collectHeader(std::span<const std::uint8_t> input, std::size_t& offset) {
    while (offset < input.size()) {
        headerBytes_[headerSize_++] = input[offset++];
        if (headerSize_ >= baseHeaderSize && headerSize_ == headerSizeFor(headerBytes_[1])) {
            return true;
        }
    }
    return false;
}

FrameEvent FrameDecoder::needMore(std::span<const std::uint8_t> input) const {
    FrameEvent event;
    event.consumed = input.size();
    return event;
}

FrameEvent FrameDecoder::repeatFinal(std::span<const std::uint8_t> input) const {
    // Nothing after a close or an error is read: the input is taken so no caller loops on it.
    FrameEvent event;
    event.consumed = input.size();
    if (state_ == State::Closed) {
        event.kind = FrameEventKind::Close;
        event.closeCode = closeCode_;
    } else {
        event.kind = FrameEventKind::Error;
        event.error = error_;
    }
    return event;
}

}  // namespace wsbridge::protocol
