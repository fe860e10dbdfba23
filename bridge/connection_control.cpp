// Starting, stopping and observing the connection.
#include <cstring>
#include <exception>
#include <new>

#include "bridge/bridge_state.h"
#include "bridge/status_texts.h"
#include "bridge/worker_exit.h"
#include "worker/connection_worker.h"
#include "wsbridge.h"

namespace wsbridge {
namespace {

Utf16Text textOrEmpty(const WsChar16* text) {
    return text ? Utf16Text(reinterpret_cast<const WCHAR*>(text)) : Utf16Text();
}

void failConnect(const char* text) {
    setLastErrorText(text);
    bridgeState().status = ConnectionStatus::Error;
}

// The new queue is built before the lock is taken, so nothing under the lock can fail; the old
// one, with every message still in it, is destroyed before the lock is released.
void discardQueuedMessages() {
    BridgeState& state = bridgeState();
    std::deque<Message> fresh;
    std::lock_guard<std::mutex> lock(state.queueLock);
    state.inboundQueue.swap(fresh);
}

std::int32_t connect(const WsChar16* host, std::int32_t port, const WsChar16* path,
                     std::int32_t secure) {
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> control(state.controlLock);
    const ConnectionStatus current = state.status;
    if (current == ConnectionStatus::Connected || current == ConnectionStatus::Connecting ||
        state.workerThread.joinable()) {
        stopWorker();
    }
    state.stopRequested = false;
    try {
        state.serverHost = textOrEmpty(host);
        state.serverPort = port;
        state.resourcePath = textOrEmpty(path);
        state.useTls = secure != 0;
        discardQueuedMessages();
    } catch (const std::bad_alloc&) {
        failConnect(statusText::connectOutOfMemory);
        return 0;
    }
    if (!state.workerThread.start(runConnectionWorker)) {
        failConnect(statusText::workerNotStarted);
        return 0;
    }
    return 1;
}

}  // namespace

void closeTransport() {
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> lock(state.handleLock);
    if (state.webSocketHandle) {
        WinHttpWebSocketClose(state.webSocketHandle, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS,
                              nullptr, 0);
        WinHttpCloseHandle(state.webSocketHandle);
        state.webSocketHandle = nullptr;
    }
    if (state.connectionHandle) {
        WinHttpCloseHandle(state.connectionHandle);
        state.connectionHandle = nullptr;
    }
    if (state.sessionHandle) {
        WinHttpCloseHandle(state.sessionHandle);
        state.sessionHandle = nullptr;
    }
}

ConnectionStatus stopWorker() {
    BridgeState& state = bridgeState();
    state.stopRequested = true;
    closeTransport();
    if (state.workerThread.joinable()) joinWorkerThread(state.workerThread);
    const ConnectionStatus before = state.status;
    state.status = ConnectionStatus::Disconnected;
    return before;
}

BOOL onLibraryUnload(DWORD reason) {
    if (reason != DLL_PROCESS_DETACH) return TRUE;
    try {
        std::lock_guard<std::mutex> control(bridgeState().controlLock);
        stopWorker();
    } catch (...) {
        // A join that cannot be made leaves nothing better to do at unload than to go on.
    }
    return TRUE;
}

}  // namespace wsbridge

using wsbridge::bridgeState;
using wsbridge::ConnectionStatus;

extern "C" {

WSBRIDGE_API std::int32_t WSBRIDGE_CALL WsConnect(const WsChar16* host, std::int32_t port,
                                                  const WsChar16* path, std::int32_t secure) {
    try {
        return wsbridge::connect(host, port, path, secure);
    } catch (...) {
        return 0;
    }
}

WSBRIDGE_API std::int32_t WSBRIDGE_CALL WsDisconnect(void) {
    try {
        std::lock_guard<std::mutex> control(bridgeState().controlLock);
        return static_cast<std::int32_t>(wsbridge::stopWorker());
    } catch (...) {
        return static_cast<std::int32_t>(bridgeState().status.load());
    }
}

WSBRIDGE_API std::int32_t WSBRIDGE_CALL WsGetStatus(void) {
    return static_cast<std::int32_t>(bridgeState().status.load());
}

WSBRIDGE_API std::int32_t WSBRIDGE_CALL WsGetLastError(char* buffer, std::int32_t capacity) {
    if (!buffer || capacity < 1) return 0;
    wsbridge::BridgeState& state = bridgeState();
    const auto limit = static_cast<std::size_t>(capacity) - 1;
    std::lock_guard<std::mutex> lock(state.queueLock);
    // lastErrorText is always terminated, so strncpy stops there and zero-fills the rest.
    std::strncpy(buffer, state.lastErrorText, limit);
    buffer[limit] = '\0';
    return static_cast<std::int32_t>(std::strlen(buffer));
}

}  // extern "C"
