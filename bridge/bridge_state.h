// The one process-wide record shared by the exported functions and the connection worker.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "bridge/worker_thread.h"
#include "transport/winhttp_api.h"

namespace wsbridge {

enum class ConnectionStatus : std::int32_t {
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
    Error = 3,
};

// An allocator whose default construction leaves bytes as they are: a message grows to make room
// for the next receive without zero-filling it, so each received byte is written once, by the
// receive itself.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    UninitialisedAllocator() = default;
    template <typename U>
    explicit UninitialisedAllocator(const UninitialisedAllocator<U>& /*other*/) noexcept {}
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    template <typename U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

using Message = std::vector<char, UninitialisedAllocator<char>>;  // raw bytes; may hold 0 bytes

// The queue keeps the storage of read messages up to this size (at most this many of them) for
// later messages up to this size, which the worker copies in under queueLock: small messages cost
// no allocation, and a copy this small takes less time than one. Larger messages move in with
// their own storage, which the host frees once it has read them.
inline constexpr std::size_t recycledMessageSize = 4096;
inline constexpr std::size_t recycledMessageCount = 1024;
// The storage of larger messages read goes back to the worker to receive later messages into:
// fresh storage costs a page fault and a zero-filled page per 4 KiB written, and freeing it unmaps
// it again. A few are kept, since a worker that runs ahead of a waking host completes several
// messages before the host hands one back; at most this many bytes in all, so that a connection
// that once received a huge message does not keep it.
inline constexpr std::size_t recycledLargeStorageCount = 8;
inline constexpr std::size_t recycledLargeStorageBytes = std::size_t{8} << 20;
using Utf16Text = std::basic_string<WCHAR>;

inline constexpr std::size_t lastErrorTextSize = 512;

// RFC 6455 7.4.1: the code that stands for a connection that ended without a close frame.
inline constexpr std::uint16_t closeAbnormal = 1006;
// RFC 6455 5.5: a close payload is at most 125 bytes, 2 of them the code.
inline constexpr std::size_t closeReasonSize = 123;

// How a connection ended, as the server's close frame said: fixed size, so that recording it
// never allocates.
struct CloseStatus {
    std::uint16_t code = 0;  // 0: the connection has not ended
    std::array<char, closeReasonSize> reason{};
    std::size_t reasonLength = 0;
};

// The extra request headers WsConnectWithHeaders was given, already checked.
struct RequestHeaders {
    Utf16Text text;                             // CR LF separated lines, as the host wrote them
    std::vector<std::string> offeredProtocols;  // the Sec-WebSocket-Protocol values offered
};

// Members are declared in the order they must be built at load; they are destroyed in reverse.
struct BridgeState {
    std::atomic<ConnectionStatus> status{ConnectionStatus::Disconnected};
    std::atomic<bool> stopRequested{false};
    // Serialises WsConnect, WsDisconnect and the unload hook, the only users of workerThread, so
    // that hosts calling them from two threads at once cannot join one thread twice. Always taken
    // first and never by the worker, so no lock cycle can form with the two locks below.
    std::mutex controlLock;
    WorkerThread workerThread;

    // The host's side of the queue: messages taken from the worker's side in one exchange, read
    // from here without queueLock. Taken before queueLock, never by the worker.
    std::mutex readLock;
    std::vector<Message> hostQueue;  // [hostNext, hostEnd) queued; the rest read, storage to reuse
    std::size_t hostNext = 0;
    std::size_t hostEnd = 0;
    // The messages in both sides; lets a host ask whether one is queued without taking a lock.
    // Raised by the worker under queueLock, lowered by a reader under readLock.
    std::atomic<std::size_t> queuedCount{0};

    std::mutex queueLock;  // guards inboundQueue, lastErrorText and the fields up to handleLock
    // The worker's side: [0, inboundCount) queued, oldest first; the rest are read messages whose
    // storage the worker fills again, so that small messages cost no allocation.
    std::vector<Message> inboundQueue;
    std::size_t inboundCount = 0;
    // [0, spareCount): larger messages' storage, read and handed back; they hold no message.
    std::array<Message, recycledLargeStorageCount> spareStorage;
    std::size_t spareCount = 0;
    std::size_t spareBytes = 0;  // their capacity in all
    char lastErrorText[lastErrorTextSize] = {};
    // WsWaitForMessage sleeps on it; a message or the end of the connection wakes it, and only
    // while waiterCount says someone sleeps, so that nobody waiting costs no system call.
    std::condition_variable queueChanged;
    int waiterCount = 0;
    bool connectionActive = false;       // from WsConnect until that connection has ended
    std::uint64_t connectionsEnded = 0;  // a waiter wakes when this moves
    CloseStatus closeStatus;             // what the last connection's end recorded
    bool unloadAwaitsWaiters = false;    // the last waiter to leave says so

    std::mutex handleLock;  // guards the three handles and every host-side use of the WebSocket
    HINTERNET sessionHandle = nullptr;
    HINTERNET connectionHandle = nullptr;
    HINTERNET webSocketHandle = nullptr;

    // Written by WsConnect only while no worker runs; read only by the worker it then starts.
    Utf16Text serverHost;
    Utf16Text resourcePath;
    std::int32_t serverPort = 443;
    bool useTls = true;
    RequestHeaders requestHeaders;
};

BridgeState& bridgeState();

// The one writer of lastErrorText: at most 511 bytes, always terminated.
void setLastErrorText(const char* text);

// Closes the published handles (the WebSocket with status 1000 first, after which the server's
// close status is recorded) and clears them.
void closeTransport();

// The one way a connection attempt ends: records that it ended (with 1006 as its close code
// unless the server's close was recorded), stores the final status and wakes every waiter.
void endConnection(ConnectionStatus final);

// Ends the worker: asks it to stop, closes the transport, joins it, and stores Disconnected.
// Returns the status that stood just before that final store.
ConnectionStatus stopWorker();

// The library's load and unload notification; acts only on DLL_PROCESS_DETACH.
BOOL onLibraryUnload(DWORD reason);

}  // namespace wsbridge
