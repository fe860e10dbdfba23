// The DLL's entry point, and how the worker thread ends on Windows so that unloading the library
// while connected cannot deadlock.
//
// FreeLibrary calls DllMain(DLL_PROCESS_DETACH) with the loader lock held, and a thread that ends
// (returning from its start routine, or ExitThread) takes that same lock for its DLL_THREAD_DETACH
// notifications. A join inside DllMain would wait for a worker that cannot finish exiting before
// DllMain returns. (That DllMain is reached at all while a worker runs is because the worker's
// thread holds no reference on this DLL: bridge/worker_thread.cpp.) So on Windows the worker
// never ends by itself:
//
// 1. When its work is done (transport closed, status stored, buffers freed, no lock held), it
//    parks in finishWorkerThread: SignalObjectAndWait signals workerParked and enters an
//    alertable wait for workerRelease in one step, so once workerParked is seen the worker is
//    inside that wait and runs no more code of its own until something wakes it.
// 2. WsConnect and WsDisconnect (joinWorkerThread) signal workerRelease and join: the worker
//    returns and exits like any thread.
// 3. During a FreeLibrary (reserved argument null), the unload hook waits for workerParked, then
//    queues ExitThread to the worker as an APC and detaches it, without waiting for its exit.
//    The worker, woken inside its wait, runs ExitThread from the system's APC dispatch: that
//    never returns into this DLL, and it waits for the loader lock in system code until
//    FreeLibrary has unmapped the DLL, then ends with the usual notifications to the DLLs still
//    loaded. No code of this DLL runs on the worker after the hook returns.
//
// A worker still in its handshake is waited for, as every stop waits for one; that wait ends with
// the handshake, unless WinHTTP itself needs the loader lock to finish it (Wine loads DLLs when
// the upgrade completes). Unloading while the status is Connecting is therefore best avoided.
//
// Parking closes the race that a flag tested at the worker's end would leave open: a worker
// ending by itself (a server close) just as FreeLibrary takes the loader lock could already be
// past such a test, running its last instructions in this DLL on its way into ExitThread.
//
// Rejected: the worker ending itself with TerminateThread. It needs no loader lock, but it skips
// the system's own per-thread cleanup; under Wine the next LoadLibrary of any DLL with TLS then
// writes into the dead thread's freed block and crashes.
//
// What the APC exit leaks, once per unload: any small record the C++ runtime inside this DLL
// keeps for the thread (the threads library's entry, where it made one), since the DLL's own
// thread-detach callbacks cannot run once it is unmapped, and the two event handles, which the
// leaving worker's wait may still use. At process exit (reserved argument non-null) the system
// has already ended every other thread, parked or not, so the join returns at once. Pinning the
// DLL instead would keep the connection open after the host unloaded it.
#include <atomic>

#include "bridge/bridge_state.h"
#include "bridge/worker_exit.h"

namespace wsbridge {
namespace {

// A manual-reset event, closed when the DLL's state is destroyed.
class Event {
  public:
    Event() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event() {
        if (handle_) CloseHandle(handle_);
    }

    HANDLE get() const { return handle_; }
    // Leaves the event open for good: a thread still waiting on it may need the handle.
    void keepOpen() { handle_ = nullptr; }

  private:
    HANDLE handle_;
};

Event workerParked;   // set by the worker as it parks; reset after each join
Event workerRelease;  // set while the host side joins a worker; reset after the join
std::atomic<DWORD> parkedThreadId{0};
std::atomic<bool> unloadingWhileRunning{false};  // FreeLibrary, with the process going on

bool canPark() {
    return workerParked.get() && workerRelease.get();
}

// ExitThread takes a DWORD where an APC takes a ULONG_PTR: on x64 both travel in the same
// register, and the 0 passed becomes the thread's exit code.
PAPCFUNC exitThreadAsApc() {
    return reinterpret_cast<PAPCFUNC>(reinterpret_cast<void (*)()>(&ExitThread));
}

// The worker is parked for good: have it leave through the system's code, and let it go.
void endParkedWorkerDuringUnload(WorkerThread& worker) {
    WaitForSingleObject(workerParked.get(), INFINITE);
    if (HANDLE thread = OpenThread(THREAD_SET_CONTEXT, FALSE, parkedThreadId)) {
        QueueUserAPC(exitThreadAsApc(), thread, 0);
        CloseHandle(thread);
    }
    // Should the APC fail, the worker stays parked and harmless until the process ends.
    worker.detach();
    // The worker's wait may look at its handles again before it runs the APC (Wine revalidates
    // them when it wakes a waiting thread), so they must outlive the DLL: two handles per unload.
    workerParked.keepOpen();
    workerRelease.keepOpen();
}

}  // namespace

void finishWorkerThread() {
    if (!canPark()) return;
    parkedThreadId = GetCurrentThreadId();
    DWORD result = SignalObjectAndWait(workerParked.get(), workerRelease.get(), INFINITE, TRUE);
    while (result == WAIT_IO_COMPLETION) {  // some other APC; ours never returns
        result = WaitForSingleObjectEx(workerRelease.get(), INFINITE, TRUE);
    }
}

void joinWorkerThread(WorkerThread& worker) {
    if (canPark() && unloadingWhileRunning) {
        endParkedWorkerDuringUnload(worker);
        return;
    }
    if (workerRelease.get()) SetEvent(workerRelease.get());
    worker.join();
    if (canPark()) {
        ResetEvent(workerRelease.get());
        ResetEvent(workerParked.get());
    }
}

}  // namespace wsbridge

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        wsbridge::unloadingWhileRunning = true;
    }
    return wsbridge::onLibraryUnload(reason);
}
