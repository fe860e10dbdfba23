// Moving text messages between the host and the open WebSocket.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "bridge/bridge_state.h"
#include "wsbridge.h"

namespace wsbridge {
namespace {

std::int32_t sendMessage(const WsChar16* text) {
    if (!text) return 0;
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> lock(state.handleLock);  // excludes closeTransport
    if (!state.webSocketHandle) return 0;
    if (state.status != ConnectionStatus::Connected) return 0;
    const auto* wide = reinterpret_cast<const WCHAR*>(text);
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size < 2) return 0;  // empty text, or a conversion that failed
    std::vector<char> utf8(static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), size, nullptr, nullptr);
    const DWORD result =
        WinHttpWebSocketSend(state.webSocketHandle, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                             utf8.data(), static_cast<DWORD>(size - 1));
    return result == 0 ? 1 : 0;
}

// Under readLock: true when the host's side holds a message, taking every message the worker has
// queued when it holds none. One exchange under queueLock serves the reads of a whole batch, and
// with nothing queued no lock but readLock is taken.
bool hostHasMessage(BridgeState& state) {
    if (state.hostNext < state.hostEnd) return true;
    if (state.queuedCount.load() == 0) return false;
    // Every message in the host's side has been read: what is left is storage that goes back to
    // the worker for later messages.
    if (state.hostQueue.size() > recycledMessageCount) {
        state.hostQueue.resize(recycledMessageCount);
    }
    std::lock_guard<std::mutex> lock(state.queueLock);
    state.hostQueue.swap(state.inboundQueue);
    state.hostNext = 0;
    state.hostEnd = std::exchange(state.inboundCount, 0);
    return state.hostEnd > 0;
}

// Under readLock: the storage of a larger message just read goes back to the worker as a spare
// while there is room for it; what is not kept is freed here, outside queueLock. Nothing here
// allocates, so a message read is never lost to a failure after it was copied out.
void handBackStorage(BridgeState& state, Message& read) {
    read.clear();
    {
        const std::lock_guard<std::mutex> lock(state.queueLock);
        if (state.spareCount < state.spareStorage.size() &&
            state.spareBytes + read.capacity() <= recycledLargeStorageBytes) {
            state.spareBytes += read.capacity();
            state.spareStorage[state.spareCount++].swap(read);
        }
    }
    Message().swap(read);
}

// The copy is made under readLock only: the worker never waits for it.
std::int32_t readMessage(char* buffer, std::int32_t capacity) {
    if (!buffer || capacity <= 0) return 0;
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> lock(state.readLock);
    if (!hostHasMessage(state)) {
        buffer[0] = '\0';
        return 0;
    }
    Message& message = state.hostQueue[state.hostNext++];  // gone whether or not it fits
    state.queuedCount.fetch_sub(1);
    const auto room = static_cast<std::size_t>(capacity);
    const std::size_t count = message.size() < room ? message.size() : room - 1;
    if (count > 0) std::memcpy(buffer, message.data(), count);  // an empty message has no data
    buffer[count] = '\0';
    if (message.capacity() > recycledMessageSize) handBackStorage(state, message);
    return static_cast<std::int32_t>(count);
}

// Counts a thread as waiting for as long as it sleeps in WsWaitForMessage; the last one to leave
// tells an unload that waits for them (under queueLock, as every use of the count).
class WaiterCount {
  public:
    explicit WaiterCount(BridgeState& state) : state_(state) { ++state_.waiterCount; }
    WaiterCount(const WaiterCount&) = delete;
    WaiterCount& operator=(const WaiterCount&) = delete;
    ~WaiterCount() {
        if (--state_.waiterCount == 0 && state_.unloadAwaitsWaiters) {
            state_.queueChanged.notify_all();
        }
    }

  private:
    BridgeState& state_;
};

std::int32_t waitForMessage(std::int32_t timeoutMs) {
    BridgeState& state = bridgeState();
    if (state.queuedCount.load() > 0) return 1;  // no lock while messages are queued
    std::unique_lock<std::mutex> lock(state.queueLock);
    if (state.queuedCount.load() > 0) return 1;
    if (timeoutMs == 0 || !state.connectionActive) return 0;
    // The connection this wait is for has ended once the count moves, even if a new WsConnect
    // has already started the next one.
    const std::uint64_t endedBefore = state.connectionsEnded;
    const auto woken = [&] {
        return state.queuedCount.load() > 0 || state.connectionsEnded != endedBefore;
    };
    {
        const WaiterCount waiting(state);
        if (timeoutMs < 0) {
            state.queueChanged.wait(lock, woken);
        } else {
            state.queueChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), woken);
        }
    }
    return state.queuedCount.load() > 0 ? 1 : 0;
}

// The capacity WsReadMessage takes is a 32-bit integer: a longer message cannot be read whole,
// and its length is reported as the largest value.
inline constexpr std::size_t largestReportedLength = std::numeric_limits<std::int32_t>::max();

std::int32_t nextMessageLength() {
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> lock(state.readLock);
    if (!hostHasMessage(state)) return -1;
    return static_cast<std::int32_t>(
        std::min(state.hostQueue[state.hostNext].size(), largestReportedLength));
}

}  // namespace
}  // namespace wsbridge

extern "C" {

WSBRIDGE_API std::int32_t WSBRIDGE_CALL WsSendMessage(const WsChar16* text) {
    try {
        return wsbridge::sendMessage(text);
    } catch (...) {
        return 0;
    }
}

WSBRIDGE_API std::int32_t WSBRIDGE_CALL WsHasMessages(void) {
    try {
        return wsbridge::bridgeState().queuedCount.load() > 0 ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

WSBRIDGE_API std::int32_t WSBRIDGE_CALL WsReadMessage(char* buffer, std::int32_t capacity) {
    try {
        return wsbridge::readMessage(buffer, capacity);
    } catch (...) {
        return 0;
    }
}

WSBRIDGE_API std::int32_t WSBRIDGE_CALL WsWaitForMessage(std::int32_t timeoutMs) {
    try {
        return wsbridge::waitForMessage(timeoutMs);
    } catch (...) {
        return 0;
    }
}

WSBRIDGE_API std::int32_t WSBRIDGE_CALL WsGetMessageLength(void) {
    try {
        return wsbridge::nextMessageLength();
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
