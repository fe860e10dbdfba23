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

}  // namespace wsbridge
