// The second half of the worker: join the transport's buffers into whole text messages and queue
// them until a stop request, a receive failure or a close from the server.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

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

// The copy, sized to the message, is made by the caller before queueLock is taken, so the lock
// is held only to move it in and the host's polls never wait for a large copy. Threads waiting in
// WsWaitForMessage are woken after the lock is released, so that they do not wake into it.
void queueMessage(Message message) {
    BridgeState& state = bridgeState();
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(state.queueLock);
        state.inboundQueue.push_back(std::move(message));
        waiting = state.waiterCount > 0;
    }
    // Only a host that waits costs a wake-up; with nobody waiting, no system call is made.
    if (waiting) state.queueChanged.notify_all();
}

// Hands a completed message to the queue. When pendingMessage's storage is at most twice the
// message (the usual case: it has just grown to hold it), that storage moves into the queue and
// pendingMessage gets fresh storage of the same size: one allocation, as a copy would take, and
// no copy of the bytes. A message much smaller than the storage is copied, sized to itself, so a
// queued message never holds more than twice its size.
void queueCompletedMessage(Message& pendingMessage) {
    const std::size_t storage = pendingMessage.capacity();
    if (storage > 2 * pendingMessage.size()) {
        queueMessage(Message(pendingMessage));
        pendingMessage.clear();  // keeps its storage for the next message
        return;
    }
    Message fresh;
    fresh.reserve(storage);  // before anything moves, so a failure leaves the message in place
    queueMessage(std::move(pendingMessage));
    pendingMessage = std::move(fresh);
}

// One receive and what follows from it. Returns false when the loop must end.
bool receiveOnce(HINTERNET webSocket, char* receiveBuffer, Message& pendingMessage) {
    DWORD byteCount = 0;
    auto type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
    const DWORD code =
        WinHttpWebSocketReceive(webSocket, receiveBuffer, receiveBufferSize, &byteCount, &type);
    if (code != 0) {
        recordReceiveFailure(code);
        return false;
    }
    if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) {
        setLastErrorText(statusText::serverClosed);
        return false;
    }
    // Binary data is never queued: if its bytes were kept they would corrupt the next text
    // message, so they are dropped here.
    if (isBinary(type)) return true;
    byteCount = std::min(byteCount, receiveBufferSize);  // never trust a count beyond the buffer
    if (byteCount > 0) pendingMessage.append(receiveBuffer, byteCount);
    if (type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE) {
        queueCompletedMessage(pendingMessage);
    }
    return true;
}

}  // namespace

void runReceiveLoop(HINTERNET webSocket) {
    const BridgeState& state = bridgeState();
    try {
        std::unique_ptr<char[]> receiveBuffer(new char[receiveBufferSize]());
        Message pendingMessage;
        while (!state.stopRequested) {
            if (!receiveOnce(webSocket, receiveBuffer.get(), pendingMessage)) break;
        }
    } catch (const std::bad_alloc&) {
        // Ends like a broken connection: the caller closes the transport and sets Disconnected.
        setLastErrorText(statusText::receiveOutOfMemory);
    }
}

}  // namespace wsbridge
