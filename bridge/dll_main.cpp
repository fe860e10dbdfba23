// The DLL's entry point, and how the worker thread ends on Windows so that unloading the library
// while connected cannot deadlock.
//
// FreeLibrary calls DllMain(DLL_PROCESS_DETACH) with the loader lock held, and a thread that ends
// normally (returning from its start routine, or ExitThread) takes that same lock for its
// DLL_THREAD_DETACH notifications. A join inside DllMain would wait for a worker that cannot
// finish exiting until DllMain returns. So on Windows the worker never ends by itself:
//
// 1. When its work is done (transport closed, status stored, buffers freed, no lock held), it
//    parks in finishWorkerThread until the host side lets it go in joinWorkerThread.
// 2. joinWorkerThread lets it go and joins it. Called from WsConnect or WsDisconnect, the worker
//    then returns and exits like any thread.
// 3. During a FreeLibrary (reserved argument null), DllMain first marks the library as being
//    unloaded. The worker, let go, then ends with TerminateThread on itself: that needs no loader
//    lock, skips the thread-detach notifications and never returns into this DLL, and the
//    thread's handle is signaled once the thread is gone, so the join returns and FreeLibrary may
//    unmap the code: no code of the DLL can run on that thread any more.
//
// Parking closes the race that a flag tested at the worker's end would leave open: a worker that
// ends by itself (a server close) just as FreeLibrary takes the loader lock could already be past
// such a test and on its way into ExitThread, where it would wait for the lock while DllMain
// waits for it.
//
// What self-termination leaks, once per unload: what the thread-detach notifications would have
// freed (the C runtime's and the system DLLs' per-thread blocks) and the small record that
// std::thread hands its thread. The thread's stack and handle are released by the system and by
// the join. At process exit (reserved argument non-null) the system has already ended every other
// thread, a parked or running worker included, so the join returns at once.
//
// Pinning the DLL instead would keep a connection open after the host unloaded the library.
#include <atomic>

#include "bridge/bridge_state.h"
#include "bridge/worker_exit.h"

namespace wsbridge {
namespace {

// Manual-reset event: signaled while the host side joins a worker, so that a worker reaching its
// end during the join goes at once; reset once the join is over, before the next worker starts.
class WorkerRelease {
  public:
    WorkerRelease() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    WorkerRelease(const WorkerRelease&) = delete;
    WorkerRelease& operator=(const WorkerRelease&) = delete;
    ~WorkerRelease() {
        if (event_) CloseHandle(event_);
    }

    // Without an event (CreateEventW failed) nothing parks: the worker ends as threads do.
    void wait() const {
        if (event_) WaitForSingleObject(event_, INFINITE);
    }
    void open() const {
        if (event_) SetEvent(event_);
    }
    void close() const {
        if (event_) ResetEvent(event_);
    }

  private:
    HANDLE event_;
};

WorkerRelease workerRelease;
std::atomic<bool> unloadingWhileRunning{false};  // FreeLibrary, with the process going on

}  // namespace

void finishWorkerThread() {
    workerRelease.wait();
    if (unloadingWhileRunning) TerminateThread(GetCurrentThread(), 0);
}

void joinWorkerThread(std::thread& worker) {
    workerRelease.open();
    worker.join();  // waits on the thread's handle, which self-termination signals too
    workerRelease.close();
}

}  // namespace wsbridge

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        wsbridge::unloadingWhileRunning = true;
    }
    return wsbridge::onLibraryUnload(reason);
}
