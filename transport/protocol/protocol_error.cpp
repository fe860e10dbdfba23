// The one place that says what each protocol error means to the peer (its close code) and in a
// log (its text). What it means to the platform's caller is the transport's table.
#include "transport/protocol/protocol_error.h"

#include <array>

#include "transport/protocol/frame_format.h"

namespace wsbridge::protocol {
namespace {

struct ErrorMeaning {
    ProtocolError error;
    std::uint16_t closeCode;  // 0: no WebSocket is open yet, nothing to close
    const char* text;
};

constexpr std::array meanings{
    ErrorMeaning{ProtocolError::None, 0, "no error"},
    ErrorMeaning{ProtocolError::InvalidHost, 0, "invalid host name"},
    ErrorMeaning{ProtocolError::InvalidUserAgent, 0, "invalid user agent"},
    ErrorMeaning{ProtocolError::RandomSourceFailed, 0, "random source failed"},
    ErrorMeaning{ProtocolError::InvalidExtraHeader, 0, "invalid extra request header"},
    ErrorMeaning{ProtocolError::ResponseTooLarge, 0, "response header too large"},
    ErrorMeaning{ProtocolError::MalformedStatusLine, 0, "malformed status line"},
    ErrorMeaning{ProtocolError::MalformedHeader, 0, "malformed header line"},
    ErrorMeaning{ProtocolError::NotSwitchingProtocols, 0, "status is not 101"},
    ErrorMeaning{ProtocolError::MissingUpgradeHeader, 0, "no Upgrade: websocket header"},
    ErrorMeaning{ProtocolError::MissingConnectionUpgrade, 0, "no upgrade token in Connection"},
    ErrorMeaning{ProtocolError::BadAccept, 0, "wrong Sec-WebSocket-Accept"},
    ErrorMeaning{ProtocolError::UnofferedExtension, 0, "extension that was not offered"},
    ErrorMeaning{ProtocolError::UnofferedSubprotocol, 0, "subprotocol that was not offered"},
    ErrorMeaning{ProtocolError::RepeatedSubprotocol, 0, "more than one Sec-WebSocket-Protocol"},
    ErrorMeaning{ProtocolError::ReservedBitsSet, closeProtocolError, "reserved bits set"},
    ErrorMeaning{ProtocolError::MaskedServerFrame, closeProtocolError, "masked frame from server"},
    ErrorMeaning{ProtocolError::UnknownOpcode, closeProtocolError, "unknown opcode"},
    ErrorMeaning{ProtocolError::ControlFrameTooLong, closeProtocolError,
                 "control frame over 125 bytes"},
    ErrorMeaning{ProtocolError::FragmentedControlFrame, closeProtocolError,
                 "fragmented control frame"},
    ErrorMeaning{ProtocolError::UnexpectedContinuation, closeProtocolError,
                 "continuation without a message"},
    ErrorMeaning{ProtocolError::DataFrameInsideMessage, closeProtocolError,
                 "new data frame inside a message"},
    ErrorMeaning{ProtocolError::LengthTopBitSet, closeProtocolError,
                 "64-bit length with top bit set"},
    ErrorMeaning{ProtocolError::NonMinimalLength, closeProtocolError,
                 "length not in shortest form"},
    ErrorMeaning{ProtocolError::InvalidUtf8, closeInvalidPayload, "text message is not UTF-8"},
    ErrorMeaning{ProtocolError::ClosePayloadTooShort, closeProtocolError,
                 "close payload of 1 byte"},
    ErrorMeaning{ProtocolError::InvalidCloseCode, closeProtocolError,
                 "close code that may not be sent"},
    ErrorMeaning{ProtocolError::InvalidCloseReason, closeInvalidPayload,
                 "close reason is not UTF-8"},
    ErrorMeaning{ProtocolError::ControlPayloadTooLong, 0, "control payload over 125 bytes"},
    ErrorMeaning{ProtocolError::SendAfterClose, 0, "send after the close"},
    ErrorMeaning{ProtocolError::MessageTypeChanged, 0, "fragment of another message type"},
    ErrorMeaning{ProtocolError::SendPending, 0, "previous frame not written yet"},
    ErrorMeaning{ProtocolError::TunnelRefused, 0, "proxy refused the tunnel"},
    ErrorMeaning{ProtocolError::ProxyAuthenticationRequired, 0, "proxy wants authentication"},
    ErrorMeaning{ProtocolError::TooManyInterimResponses, 0, "too many interim responses"},
};

constexpr ErrorMeaning unknownMeaning{ProtocolError::None, closeProtocolError, "unknown error"};

const ErrorMeaning& meaningOf(ProtocolError error) {
    for (const ErrorMeaning& meaning : meanings) {
        if (meaning.error == error) return meaning;
    }
    return unknownMeaning;
}

}  // namespace

std::uint16_t closeCodeFor(ProtocolError error) {
    return meaningOf(error).closeCode;
}

const char* describe(ProtocolError error) {
    return meaningOf(error).text;
}

}  // namespace wsbridge::protocol
