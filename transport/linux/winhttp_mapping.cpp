#include "transport/linux/winhttp_mapping.h"

#include <array>
#include <utility>

namespace wsbridge::transport {
namespace {

using protocol::PieceType;
using protocol::ProtocolError;

constexpr std::array pieceTypes{
    std::pair{PieceType::BinaryMessage, WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE},
    std::pair{PieceType::BinaryFragment, WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE},
    std::pair{PieceType::TextMessage, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE},
    std::pair{PieceType::TextFragment, WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE},
};

constexpr DWORD badResponse = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;

// Every error a frame from the server can break is a bad response; the rest say what the
// operation was refused for.
constexpr std::array errors{
    std::pair{ProtocolError::None, ERROR_SUCCESS},
    std::pair{ProtocolError::InvalidHost, ERROR_WINHTTP_INVALID_URL},
    std::pair{ProtocolError::InvalidUserAgent, ERROR_INVALID_PARAMETER},
    std::pair{ProtocolError::RandomSourceFailed, ERROR_WINHTTP_INTERNAL_ERROR},
    std::pair{ProtocolError::InvalidExtraHeader, ERROR_WINHTTP_INVALID_HEADER},
    std::pair{ProtocolError::ResponseTooLarge, badResponse},
    std::pair{ProtocolError::MalformedStatusLine, badResponse},
    std::pair{ProtocolError::MalformedHeader, badResponse},
    std::pair{ProtocolError::NotSwitchingProtocols, badResponse},
    std::pair{ProtocolError::MissingUpgradeHeader, badResponse},
    std::pair{ProtocolError::MissingConnectionUpgrade, badResponse},
    std::pair{ProtocolError::BadAccept, badResponse},
    std::pair{ProtocolError::UnofferedExtension, badResponse},
    std::pair{ProtocolError::UnofferedSubprotocol, badResponse},
    std::pair{ProtocolError::RepeatedSubprotocol, badResponse},
    std::pair{ProtocolError::ReservedBitsSet, badResponse},
    std::pair{ProtocolError::MaskedServerFrame, badResponse},
    std::pair{ProtocolError::UnknownOpcode, badResponse},
    std::pair{ProtocolError::ControlFrameTooLong, badResponse},
    std::pair{ProtocolError::FragmentedControlFrame, badResponse},
    std::pair{ProtocolError::UnexpectedContinuation, badResponse},
    std::pair{ProtocolError::DataFrameInsideMessage, badResponse},
    std::pair{ProtocolError::LengthTopBitSet, badResponse},
    std::pair{ProtocolError::NonMinimalLength, badResponse},
    std::pair{ProtocolError::InvalidUtf8, badResponse},
    std::pair{ProtocolError::ClosePayloadTooShort, badResponse},
    std::pair{ProtocolError::InvalidCloseCode, badResponse},
    std::pair{ProtocolError::InvalidCloseReason, badResponse},
    std::pair{ProtocolError::ControlPayloadTooLong, ERROR_INVALID_PARAMETER},
    // RFC 6455 5.5.1: out of order once our close is out.
    std::pair{ProtocolError::SendAfterClose, ERROR_INVALID_OPERATION},
    std::pair{ProtocolError::MessageTypeChanged, ERROR_INVALID_PARAMETER},
    std::pair{ProtocolError::SendPending, ERROR_INVALID_OPERATION},
    // A proxy's whole answer that opened no tunnel is, to the caller, a response it cannot use.
    std::pair{ProtocolError::TunnelRefused, badResponse},
    std::pair{ProtocolError::ProxyAuthenticationRequired, badResponse},
    std::pair{ProtocolError::TooManyInterimResponses, badResponse},
};

}  // namespace

WINHTTP_WEB_SOCKET_BUFFER_TYPE bufferTypeFor(PieceType type) {
    for (const auto& [piece, buffer] : pieceTypes) {
        if (piece == type) return buffer;
    }
    return WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;  // every piece type is in the table
}

std::optional<PieceType> pieceTypeFor(WINHTTP_WEB_SOCKET_BUFFER_TYPE type) {
    for (const auto& [piece, buffer] : pieceTypes) {
        if (buffer == type) return piece;
    }
    return std::nullopt;
}

DWORD platformErrorFor(ProtocolError error) {
    for (const auto& [protocolError, platformError] : errors) {
        if (protocolError == error) return platformError;
    }
    return ERROR_WINHTTP_INTERNAL_ERROR;
}

}  // namespace wsbridge::transport
