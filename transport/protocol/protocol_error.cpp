// The one place that says what each protocol error means to the peer and to the caller.
#include "transport/protocol/protocol_error.h"

#include <array>

#include "transport/protocol/frame_format.h"
#include "transport/winhttp_api.h"

namespace wsbridge::protocol {
namespace {

struct ErrorMeaning {
    ProtocolError error;
    std::uint16_t closeCode;  // 0: no WebSocket is open yet, nothing to close
    std::uint32_t platformError;
    const char* text;
};

constexpr std::uint32_t badResponse = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;

constexpr std::array meanings{
    ErrorMeaning{ProtocolError::None, 0, ERROR_SUCCESS, "no error"},
    ErrorMeaning{ProtocolError::InvalidHost, 0, ERROR_WINHTTP_INVALID_URL, "invalid host name"},
    ErrorMeaning{ProtocolError::InvalidUserAgent, 0, ERROR_INVALID_PARAMETER, "invalid user agent"},
    ErrorMeaning{ProtocolError::RandomSourceFailed, 0, ERROR_WINHTTP_INTERNAL_ERROR,
                 "random source failed"},
    ErrorMeaning{ProtocolError::ResponseTooLarge, 0, badResponse, "response header too large"},
    ErrorMeaning{ProtocolError::MalformedStatusLine, 0, badResponse, "malformed status line"},
    ErrorMeaning{ProtocolError::MalformedHeader, 0, badResponse, "malformed header line"},
    ErrorMeaning{ProtocolError::NotSwitchingProtocols, 0, badResponse, "status is not 101"},
    ErrorMeaning{ProtocolError::MissingUpgradeHeader, 0, badResponse,
                 "no Upgrade: websocket header"},
    ErrorMeaning{ProtocolError::MissingConnectionUpgrade, 0, badResponse,
                 "no upgrade token in Connection"},
    ErrorMeaning{ProtocolError::BadAccept, 0, badResponse, "wrong Sec-WebSocket-Accept"},
    ErrorMeaning{ProtocolError::UnofferedExtension, 0, badResponse,
                 "extension that was not offered"},
    ErrorMeaning{ProtocolError::UnofferedSubprotocol, 0, badResponse,
                 "subprotocol that was not offered"},
    ErrorMeaning{ProtocolError::ReservedBitsSet, closeProtocolError, badResponse,
                 "reserved bits set"},
    ErrorMeaning{ProtocolError::MaskedServerFrame, closeProtocolError, badResponse,
                 "masked frame from server"},
    ErrorMeaning{ProtocolError::UnknownOpcode, closeProtocolError, badResponse, "unknown opcode"},
    ErrorMeaning{ProtocolError::ControlFrameTooLong, closeProtocolError, badResponse,
                 "control frame over 125 bytes"},
    ErrorMeaning{ProtocolError::FragmentedControlFrame, closeProtocolError, badResponse,
                 "fragmented control frame"},
    ErrorMeaning{ProtocolError::UnexpectedContinuation, closeProtocolError, badResponse,
                 "continuation without a message"},
    ErrorMeaning{ProtocolError::DataFrameInsideMessage, closeProtocolError, badResponse,
                 "new data frame inside a message"},
    ErrorMeaning{ProtocolError::LengthTopBitSet, closeProtocolError, badResponse,
                 "64-bit length with top bit set"},
    ErrorMeaning{ProtocolError::NonMinimalLength, closeProtocolError, badResponse,
                 "length not in shortest form"},
    ErrorMeaning{ProtocolError::InvalidUtf8, closeInvalidPayload, badResponse,
                 "text message is not UTF-8"},
    ErrorMeaning{ProtocolError::ClosePayloadTooShort, closeProtocolError, badResponse,
                 "close payload of 1 byte"},
    ErrorMeaning{ProtocolError::InvalidCloseCode, closeProtocolError, badResponse,
                 "close code that may not be sent"},
    ErrorMeaning{ProtocolError::InvalidCloseReason, closeInvalidPayload, badResponse,
                 "close reason is not UTF-8"},
    ErrorMeaning{ProtocolError::ControlPayloadTooLong, 0, ERROR_INVALID_PARAMETER,
                 "control payload over 125 bytes"},
    ErrorMeaning{ProtocolError::TunnelRefused, 0, badResponse, "proxy refused the tunnel"},
    ErrorMeaning{ProtocolError::ProxyAuthenticationRequired, 0, badResponse,
                 "proxy wants authentication"},
    ErrorMeaning{ProtocolError::TooManyInterimResponses, 0, badResponse,
                 "too many interim responses"},
};

constexpr ErrorMeaning unknownMeaning{ProtocolError::None, closeProtocolError,
                                      ERROR_WINHTTP_INTERNAL_ERROR, "unknown error"};

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

std::uint32_t platformErrorFor(ProtocolError error) {
    return meaningOf(error).platformError;
}

const char* describe(ProtocolError error) {
    return meaningOf(error).text;
}

}  // namespace wsbridge::protocol
