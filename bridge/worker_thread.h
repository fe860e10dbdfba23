// The connection worker's thread: started from a plain function, then joined or let go. The one
// place where starting a thread differs between the platforms (bridge/worker_thread.cpp says why);
// the bridge and the worker use only this.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <thread>
#endif

namespace wsbridge {

class WorkerThread {
  public:
    using Entry = void (*)();

    WorkerThread() = default;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    // A thread still held is let go: ending the host's process is never the answer.
    ~WorkerThread();

    // Runs entry on a new thread. False when the system gave no thread; then none is held.
    bool start(Entry entry);
    // Whether a started thread is held: not yet joined or let go (it may have ended already).
    bool joinable() const;
    // Waits until the thread has ended; then none is held.
    void join();
    // Lets the thread go without waiting for it; then none is held.
    void detach();

  private:
#if defined(_WIN32)
    HANDLE handle_ = nullptr;
#else
    std::thread thread_;
#endif
};

}  // namespace wsbridge
