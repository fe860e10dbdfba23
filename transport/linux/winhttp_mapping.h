// The one place where the protocol core's own types meet the platform's numbers: its piece types
// as WinHTTP buffer types and back, its errors as the ERROR_* numbers the operations report.
#pragma once

#include <optional>

#include "transport/linux/winhttp_decls.h"
#include "transport/protocol/piece_type.h"
#include "transport/protocol/protocol_error.h"

namespace wsbridge::transport {

WINHTTP_WEB_SOCKET_BUFFER_TYPE bufferTypeFor(protocol::PieceType type);

// The piece type a send of this buffer type carries; none for the close type or a value out of
// range.
std::optional<protocol::PieceType> pieceTypeFor(WINHTTP_WEB_SOCKET_BUFFER_TYPE type);

// The error number an operation reports for this protocol error; ERROR_SUCCESS for None.
DWORD platformErrorFor(protocol::ProtocolError error);

}  // namespace wsbridge::transport
