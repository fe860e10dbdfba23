// How the worker thread ends and how the host side waits for it. Where a thread may simply return
// and be joined, both are the plain operations. On Windows a thread's exit needs the loader lock,
// which FreeLibrary holds while the unload hook ends the worker, so there the worker parks at its
// end and the host side decides how it leaves (bridge/dll_main.cpp).
#pragma once

#include "bridge/worker_thread.h"

namespace wsbridge {

#if defined(_WIN32)
// The worker's last action, once its work is done and it holds no lock.
void finishWorkerThread();
// Ends a worker: lets it go and joins it, or, during FreeLibrary, sends it out of its parked wait
// without waiting for its exit and detaches it.
void joinWorkerThread(WorkerThread& worker);
#else
inline void finishWorkerThread() {}
inline void joinWorkerThread(WorkerThread& worker) {
    worker.join();
}
#endif

}  // namespace wsbridge
