// The DLL's entry point: hands the load and unload notifications to the unload hook.
#include "bridge/bridge_state.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    return wsbridge::onLibraryUnload(reason);
}
