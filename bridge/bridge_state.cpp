#include "bridge/bridge_state.h"

#include <cstring>

namespace wsbridge {
namespace {

BridgeState state;

#if !defined(_WIN32)
// Defined after the state in the same file, so it is destroyed first: the connection is ended
// while the state still stands, at dlclose and at process exit alike. On Windows DllMain calls
// the hook instead.
struct UnloadHook {
    UnloadHook() = default;
    UnloadHook(const UnloadHook&) = delete;
    UnloadHook& operator=(const UnloadHook&) = delete;
    ~UnloadHook() { onLibraryUnload(DLL_PROCESS_DETACH); }
} unloadHook;
#endif

}  // namespace

BridgeState& bridgeState() {
    return state;
}

void setLastErrorText(const char* text) {
    std::lock_guard<std::mutex> lock(state.queueLock);
    std::strncpy(state.lastErrorText, text, lastErrorTextSize - 1);
    state.lastErrorText[lastErrorTextSize - 1] = '\0';
}

void endConnection(ConnectionStatus final) {
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(state.queueLock);
        if (state.connectionActive) {
            state.connectionActive = false;
            ++state.connectionsEnded;
            if (state.closeStatus.code == 0) state.closeStatus.code = closeAbnormal;
        }
        // Stored under the lock: a host that reads this status and then asks for the close
        // status or waits takes the lock after this section, so it sees the end as well.
        state.status = final;
        waiting = state.waiterCount > 0;
    }
    if (waiting) state.queueChanged.notify_all();
}

}  // namespace wsbridge
