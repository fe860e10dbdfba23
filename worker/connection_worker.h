// The connection worker: one call is the whole life of one connection.
#pragma once

#include "transport/winhttp_api.h"

namespace wsbridge {

// Entry function of the thread that WsConnect starts: the handshake, then the receive loop.
void runConnectionWorker();

// The handles a successful handshake opened, before they are published.
struct OpenedConnection {
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET webSocket = nullptr;
};

// Opens the WebSocket. On failure it records the failing step's text, closes what it opened and
// returns false; the caller then sets Error.
bool performHandshake(OpenedConnection& opened);

// Receives until a stop request, a receive failure or a close from the server, queueing each
// complete text message; records the text that ended it (unless a stop request did).
void runReceiveLoop(HINTERNET webSocket);

inline constexpr DWORD receiveBufferSize = 65536;
inline constexpr WCHAR userAgentText[] = WSBRIDGE_WIDE("Velmoro_Tindlex/2.0");

}  // namespace wsbridge
