// The second half of the worker: join the transport's buffers into whole text messages and queue
// them until a stop request, a receive failure or a close from the server.
#include <algorithm>
#include <cstdio>
#include <new>
#include <span>

#include "bridge/bridge_state.h"
#include "bridge/status_texts.h"
#include "worker/connection_worker.h"

namespace wsbridge {
namespace {

inline constexpr int receiveFailedTextSize = 128;

void recordReceiveFailure(DWORD code) {
    char text[receiveFailedTextSize];
    std::snprintf(text, sizeof text, statusText::receiveFailedFormat,
                  static_cast<unsigned long>(code));
    setLastErrorText(text);
}

bool isBinary(WINHTTP_WEB_SOCKET_BUFFER_TYPE type) {
    return type == WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE ||
           type == WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE;
}

// Under queueLock: the worker's next slot, holding the storage of a message already read or none.
Message& nextSlot(BridgeState& state) {
    if (state.inboundCount == state.inboundQueue.size()) state.inboundQueue.emplace_back();
    return state.inboundQueue[state.inboundCount];
}

// Queues a message, which `fill` puts into the worker's next slot under queueLock. Threads waiting
// in WsWaitForMessage are woken after the lock is released, so that they do not wake into it; with
// nobody waiting, no system call is made.
template <typename Fill>
void queueMessage(Fill fill) {
    BridgeState& state = bridgeState();
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(state.queueLock);
        fill(nextSlot(state));
        ++state.inboundCount;
        state.queuedCount.fetch_add(1);
        waiting = state.waiterCount > 0;
    }
    if (waiting) state.queueChanged.notify_all();
}

// The storage of a larger message the host has read, when there is one; else empty.
Message takeSpareStorage() {
    BridgeState& state = bridgeState();
    Message spare;
    const std::lock_guard<std::mutex> lock(state.queueLock);
    if (state.spareCount > 0) {
        spare.swap(state.spareStorage[--state.spareCount]);
        state.spareBytes -= spare.capacity();
    }
    return spare;
}

// Hands a completed message to the queue so that a queued message never holds more than twice its
// size. A small one is copied into storage a read message left behind, when that storage is no
// more than twice its size (after the first batch, the usual case: no allocation). When
// pendingMessage's storage is at most twice the message (it has just grown to hold it), that
// storage moves into the queue and pendingMessage takes storage the host has handed back, or fresh
// storage of the same size: no copy of the bytes. Otherwise the message is copied, sized to itself.
void queueCompletedMessage(Message& pendingMessage) {
    const std::size_t size = pendingMessage.size();
    if (size <= recycledMessageSize) {
        queueMessage([&](Message& slot) {
            if (slot.capacity() > 2 * size) Message().swap(slot);
            slot.assign(pendingMessage.begin(), pendingMessage.end());
        });
        pendingMessage.clear();  // keeps its storage for the next message
        return;
    }
    const std::size_t storage = pendingMessage.capacity();
    if (storage > 2 * size) {
        Message copy(pendingMessage.begin(), pendingMessage.end());
        queueMessage([&](Message& slot) { slot.swap(copy); });
        pendingMessage.clear();
        return;
    }
    // The next message is received into the storage of one already read when the host has handed
    // it back and it is large enough, else into fresh storage, made before anything moves so that
    // a failure leaves the message in place.
    Message message = takeSpareStorage();
    if (message.capacity() < storage) {
        Message fresh;
        fresh.reserve(storage);
        message.swap(fresh);
    }
    message.swap(pendingMessage);
    queueMessage([&](Message& slot) { slot.swap(message); });
}

// Makes room at the end of pendingMessage for the next receive: one receive buffer's worth, the
// size every receive is given, growing the storage to at least twice its size so that a long
// message is moved only a few times. The room is not zero-filled.
std::span<char> receiveRoom(Message& pendingMessage) {
    const std::size_t size = pendingMessage.size();
    if (pendingMessage.capacity() - size < receiveBufferSize) {
        pendingMessage.reserve(std::max(2 * pendingMessage.capacity(), size + receiveBufferSize));
    }
    pendingMessage.resize(size + receiveBufferSize);
    return {pendingMessage.data() + size, receiveBufferSize};
}

// One receive, straight into the message in progress, and what follows from it. Returns false
// when the loop must end.
bool receiveOnce(HINTERNET webSocket, Message& pendingMessage) {
    const std::size_t size = pendingMessage.size();
    const std::span<char> room = receiveRoom(pendingMessage);
    DWORD byteCount = 0;
    auto type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
    const DWORD code = WinHttpWebSocketReceive(webSocket, room.data(),
                                               static_cast<DWORD>(room.size()), &byteCount, &type);
    // Never trust a count beyond the room; binary data is never queued: if its bytes were kept
    // they would corrupt the next text message, so they are dropped here.
    const bool text = code == 0 && !isBinary(type) && type != WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;
    pendingMessage.resize(size + (text ? std::min<std::size_t>(byteCount, room.size()) : 0));
    if (code != 0) {
        recordReceiveFailure(code);
        return false;
    }
    if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
        setLastErrorText(statusText::serverClosed);
        return false;
    }
    if (type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) {
        queueCompletedMessage(pendingMessage);
    }
    return true;
}

}  // namespace

void runReceiveLoop(HINTERNET webSocket) {
    const BridgeState& state = bridgeState();
    try {
        Message pendingMessage;
        while (!state.stopRequested) {
            if (!receiveOnce(webSocket, pendingMessage)) break;
        }
    } catch (const std::bad_alloc&) {
        // Ends like a broken connection: the caller closes the transport and sets Disconnected.
        setLastErrorText(statusText::receiveOutOfMemory);
    }
}

}  // namespace wsbridge
