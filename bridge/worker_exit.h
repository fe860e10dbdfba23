// How the worker thread ends and how the host side joins it. Where a thread may simply return
// and be joined, both are the plain operations. On Windows a thread that returns needs the
// loader lock, which an unload holds while it waits for the worker, so there the worker parks at
// its end and the join tells it how to go (bridge/dll_main.cpp).
#pragma once

#include <thread>

namespace wsbridge {

#if defined(_WIN32)
// The worker's last action, once its work is done and it holds no lock.
void finishWorkerThread();
// Lets a parked worker go, then joins it.
void joinWorkerThread(std::thread& worker);
#else
inline void finishWorkerThread() {}
inline void joinWorkerThread(std::thread& worker) {
    worker.join();
}
#endif

}  // namespace wsbridge
