// Starting, stopping and observing the connection.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <utility>

#include "bridge/bridge_state.h"
#include "bridge/request_headers.h"
#include "bridge/status_texts.h"
#include "bridge/worker_exit.h"
#include "worker/connection_worker.h"
#include "wsbridge.h"

namespace wsbridge {
namespace {

Utf16Text textOrEmpty(const WsChar16* text) {
    return text ? Utf16Text(reinterpret_cast<const WCHAR*>(text)) : Utf16Text();
}

// How long the unload hook gives threads woken in WsWaitForMessage to leave it before the state
// they wait on is destroyed: they need only the queue lock, which nobody holds for long.
inline constexpr auto waitersLeaveLimit = std::chrono::seconds(1);

void failConnect(const char* text) {
    setLastErrorText(text);
    endConnection(ConnectionStatus::Error);
}

// The new queues are built before the locks are taken, so nothing under them can fail; the old
// ones, with every message still in them, are destroyed after the locks are released. From here
// on the new connection is under way: waits wait for it, and its close status is not known yet.
void discardQueuedMessages() {
    BridgeState& state = bridgeState();
    std::vector<Message> freshHost;
    std::vector<Message> freshInbound;
    std::array<Message, recycledLargeStorageCount> freshSpares;
    const std::lock_guard<std::mutex> readLock(state.readLock);
    state.hostQueue.swap(freshHost);
    state.hostNext = state.hostEnd = 0;
    const std::lock_guard<std::mutex> lock(state.queueLock);
    state.inboundQueue.swap(freshInbound);
    state.inboundCount = 0;
    state.spareStorage.swap(freshSpares);
    state.spareCount = state.spareBytes = 0;
    state.queuedCount = 0;
    state.connectionActive = true;
    state.closeStatus = CloseStatus{};
}

std::int32_t connect(const WsChar16* host, std::int32_t port, const WsChar16* path,
                     std::int32_t secure, RequestHeaders headers) {
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
        state.requestHeaders = std::move(headers);
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

// After our close (and so after the server's answer to it, or the close bound): the server's
// close code and reason, or 1006 when no close frame came. Asked before the handle is closed,
// which would take the answer with it.
CloseStatus queryCloseStatus(HINTERNET webSocket) {
    CloseStatus closed;
    USHORT code = 0;
    DWORD length = 0;
    // A code of 0 is no close code at all (Wine reports it, with success, for a close that
    // failed): no close frame came.
    if (WinHttpWebSocketQueryCloseStatus(webSocket, &code, closed.reason.data(),
                                         static_cast<DWORD>(closed.reason.size()), &length) != 0 ||
        code == 0) {
        closed.code = closeAbnormal;
        return closed;
    }
    closed.code = code;
    closed.reasonLength = std::min<std::size_t>(length, closed.reason.size());
    return closed;
}

void recordCloseStatus(const CloseStatus& closed) {
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> lock(state.queueLock);
    state.closeStatus = closed;
}

// Lets threads woken in WsWaitForMessage by the unload's stop leave before the state goes.
void awaitWaitersLeaving() {
    BridgeState& state = bridgeState();
    std::unique_lock<std::mutex> lock(state.queueLock);
    state.unloadAwaitsWaiters = true;
    state.queueChanged.wait_for(lock, waitersLeaveLimit, [&] { return state.waiterCount == 0; });
    state.unloadAwaitsWaiters = false;
}

}  // namespace

void closeTransport() {
    BridgeState& state = bridgeState();
    std::optional<CloseStatus> closed;
    {
        std::lock_guard<std::mutex> lock(state.handleLock);
        if (state.webSocketHandle) {
            WinHttpWebSocketClose(state.webSocketHandle, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS,
                                  nullptr, 0);
            closed = queryCloseStatus(state.webSocketHandle);
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
    if (closed) recordCloseStatus(*closed);  // after handleLock: never both locks at once
}

ConnectionStatus stopWorker() {
    BridgeState& state = bridgeState();
    state.stopRequested = true;
    closeTransport();
    if (state.workerThread.joinable()) joinWorkerThread(state.workerThread);
    const ConnectionStatus before = state.status;
    endConnection(ConnectionStatus::Disconnected);
    return before;
}

BOOL onLibraryUnload(DWORD reason) {
    if (reason != DLL_PROCESS_DETACH) return TRUE;
    try {
        std::lock_guard<std::mutex> control(bridgeState().controlLock);
        stopWorker();
        if (otherThreadsRunAtUnload()) awaitWaitersLeaving();
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
        return wsbridge::connect(host, port, path, secure, wsbridge::RequestHeaders{});
    } catch (...) {
        return 0;
    }
}

WSBRIDGE_API std::int32_t WSBRIDGE_CALL WsConnectWithHeaders(const WsChar16* host,
                                                             std::int32_t port,
                                                             const WsChar16* path,
                                                             std::int32_t secure,
                                                             const WsChar16* headers) {
    try {
        std::optional<wsbridge::RequestHeaders> checked = wsbridge::checkRequestHeaders(headers);
        if (!checked) return 0;  // refused before anything changed
        return wsbridge::connect(host, port, path, secure, std::move(*checked));
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

WSBRIDGE_API std::int32_t WSBRIDGE_CALL WsGetCloseStatus(char* reason, std::int32_t capacity) {
    try {
        wsbridge::BridgeState& state = bridgeState();
        std::lock_guard<std::mutex> lock(state.queueLock);
        // Until the connection WsConnect started has ended, there is no close status yet.
        const wsbridge::CloseStatus none;
        const wsbridge::CloseStatus& closed = state.connectionActive ? none : state.closeStatus;
        if (reason && capacity >= 1) {
            const std::size_t count =
                std::min(closed.reasonLength, static_cast<std::size_t>(capacity) - 1);
            std::memcpy(reason, closed.reason.data(), count);
            reason[count] = '\0';
        }
        return closed.code;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
