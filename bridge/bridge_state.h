// The one process-wide record shared by the exported functions and the connection worker.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include "bridge/worker_thread.h"
#include "transport/winhttp_api.h"

namespace wsbridge {

enum class ConnectionStatus : std::int32_t {
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
    Error = 3,
};

using Message = std::string;  // raw bytes as received; may hold 0 bytes
using Utf16Text = std::basic_string<WCHAR>;

inline constexpr std::size_t lastErrorTextSize = 512;

// Members are declared in the order they must be built at load; they are destroyed in reverse.
struct BridgeState {
    std::atomic<ConnectionStatus> status{ConnectionStatus::Disconnected};
    std::atomic<bool> stopRequested{false};
    // Serialises WsConnect, WsDisconnect and the unload hook, the only users of workerThread, so
    // that hosts calling them from two threads at once cannot join one thread twice. Always taken
    // first and never by the worker, so no lock cycle can form with the two locks below.
    std::mutex controlLock;
    WorkerThread workerThread;

    std::mutex queueLock;  // guards inboundQueue and lastErrorText
    std::deque<Message> inboundQueue;
    char lastErrorText[lastErrorTextSize] = {};

    std::mutex handleLock;  // guards the three handles and every host-side use of the WebSocket
    HINTERNET sessionHandle = nullptr;
    HINTERNET connectionHandle = nullptr;
    HINTERNET webSocketHandle = nullptr;

    // Written by WsConnect only while no worker runs; read only by the worker it then starts.
    Utf16Text serverHost;
    Utf16Text resourcePath;
    std::int32_t serverPort = 443;
    bool useTls = true;
};

BridgeState& bridgeState();

// The one writer of lastErrorText: at most 511 bytes, always terminated.
void setLastErrorText(const char* text);

// Closes the published handles (the WebSocket with status 1000 first) and clears them.
void closeTransport();

// Ends the worker: asks it to stop, closes the transport, joins it, and stores Disconnected.
// Returns the status that stood just before that final store.
ConnectionStatus stopWorker();

// The library's load and unload notification; acts only on DLL_PROCESS_DETACH.
BOOL onLibraryUnload(DWORD reason);

}  // namespace wsbridge
