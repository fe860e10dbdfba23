// One connection's life on its own thread: handshake, publish, receive, close.
#include <new>

#include "bridge/bridge_state.h"
#include "bridge/status_texts.h"
#include "bridge/worker_exit.h"
#include "worker/connection_worker.h"

namespace wsbridge {
namespace {

void publishHandles(const OpenedConnection& opened) {
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> lock(state.handleLock);
    state.sessionHandle = opened.session;
    state.connectionHandle = opened.connection;
    state.webSocketHandle = opened.webSocket;
}

bool openConnection(OpenedConnection& opened) {
    try {
        return performHandshake(opened);
    } catch (const std::bad_alloc&) {
        setLastErrorText(statusText::handshakeOutOfMemory);
        return false;
    }
}

void runConnection() {
    BridgeState& state = bridgeState();
    state.status = ConnectionStatus::Connecting;
    OpenedConnection opened;
    if (!openConnection(opened)) {
        endConnection(ConnectionStatus::Error);  // last, once the text and the closes are done
        return;
    }
    publishHandles(opened);
    state.status = ConnectionStatus::Connected;
    setLastErrorText(statusText::connected);
    runReceiveLoop(opened.webSocket);
    closeTransport();
    endConnection(ConnectionStatus::Disconnected);
}

}  // namespace

void runConnectionWorker() {
    try {
        runConnection();
    } catch (...) {
        // Nothing may escape the thread; a worker that ends never leaves Connected behind.
        endConnection(ConnectionStatus::Disconnected);
    }
    finishWorkerThread();
}

}  // namespace wsbridge
