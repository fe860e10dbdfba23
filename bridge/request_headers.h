// The extra request headers a host hands to WsConnectWithHeaders: checked in full before
// anything changes, so that a refused text leaves the connection, the status and the status
// text as they were.
#pragma once

#include <cstddef>
#include <optional>

#include "bridge/bridge_state.h"
#include "wsbridge.h"

namespace wsbridge {

// The longest header text accepted, in UTF-16 code units (all of them ASCII).
inline constexpr std::size_t maxRequestHeadersLength = 8 * 1024;

// Null or empty text: no headers. Otherwise lines "Name: value" separated by CR LF, with an
// optional final CR LF. Nullopt when the text is refused: a line without a colon, a name that is
// not an HTTP token or that the handshake writes itself, a character outside printable ASCII
// and tab, more than maxRequestHeadersLength units, or a Sec-WebSocket-Protocol value that is
// not a list of tokens.
std::optional<RequestHeaders> checkRequestHeaders(const WsChar16* headers);

}  // namespace wsbridge
