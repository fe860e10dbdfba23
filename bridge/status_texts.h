// Every status text the host can read through WsGetLastError, in one place.
#pragma once

namespace wsbridge::statusText {

inline constexpr const char* connected = "Connected";
inline constexpr const char* openFailed = "WinHttpOpen failed";
inline constexpr const char* connectFailed = "WinHttpConnect failed";
inline constexpr const char* openRequestFailed = "WinHttpOpenRequest failed";
inline constexpr const char* setOptionFailed = "WinHttpSetOption WebSocket upgrade failed";
// Only after WsConnectWithHeaders: WsConnect adds no headers.
inline constexpr const char* addRequestHeadersFailed = "WinHttpAddRequestHeaders failed";
inline constexpr const char* sendRequestFailedFormat =
    "WinHttpSendRequest to '%s' failed (Error %lu)";
inline constexpr const char* receiveResponseFailed = "WinHttpReceiveResponse failed";
inline constexpr const char* completeUpgradeFailed = "WinHttpWebSocketCompleteUpgrade failed";
inline constexpr const char* serverClosed = "Server closed WebSocket connection";
inline constexpr const char* receiveFailedFormat = "WebSocketReceive failed (Error %lu)";

// Failures the library itself can meet, outside the transport.
inline constexpr const char* workerNotStarted = "WsConnect failed: could not start worker thread";
inline constexpr const char* connectOutOfMemory = "WsConnect failed: out of memory";
inline constexpr const char* handshakeOutOfMemory = "Handshake failed: out of memory";
inline constexpr const char* receiveOutOfMemory = "WebSocketReceive failed: out of memory";

}  // namespace wsbridge::statusText
