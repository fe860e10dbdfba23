// How the worker's thread is started and ended on each platform.
#include "bridge/worker_thread.h"

#if !defined(_WIN32)
#include <new>
#include <system_error>
#endif

namespace wsbridge {

#if defined(_WIN32)
// A thread of the system's own (CreateThread), not std::thread, so that the DLL behaves the same
// whichever toolchain builds it. MSVC's std::thread starts its threads with the C runtime's
// _beginthreadex, which takes a reference on the module holding the thread's start routine (this
// DLL, whose runtime is linked in) and drops it only when the thread ends. While a connection was
// open, a host's FreeLibrary would then not unload the library: no DLL_PROCESS_DETACH, no close,
// the connection left running until the process ends. mingw-w64's std::thread takes no such
// reference, and the unload mechanism (bridge/dll_main.cpp) relies on the last FreeLibrary
// reaching DllMain. CreateThread with our own start routine holds no reference under either
// toolchain; the handle it gives is joined with WaitForSingleObject.
//
// CreateThread's documentation advises _beginthreadex for threads that use the C runtime, for
// the runtimes that kept per-thread data without a way to free it. The runtimes this DLL is
// built with allocate that data on first use and free it when the thread ends, whichever call
// started it (fiber-local storage with its own cleanup under MSVC's; the system's msvcrt.dll,
// which sees every thread end, under mingw-w64).
namespace {

DWORD WINAPI runEntry(LPVOID entry) {
    reinterpret_cast<WorkerThread::Entry>(entry)();
    return 0;
}

}  // namespace

WorkerThread::~WorkerThread() {
    if (handle_) detach();
}

bool WorkerThread::start(Entry entry) {
    handle_ = CreateThread(nullptr, 0, runEntry, reinterpret_cast<LPVOID>(entry), 0, nullptr);
    return handle_ != nullptr;
}

bool WorkerThread::joinable() const {
    return handle_ != nullptr;
}

void WorkerThread::join() {
    WaitForSingleObject(handle_, INFINITE);
    detach();
}

void WorkerThread::detach() {
    CloseHandle(handle_);
    handle_ = nullptr;
}
#else
WorkerThread::~WorkerThread() {
    if (thread_.joinable()) thread_.detach();
}

bool WorkerThread::start(Entry entry) {
    try {
        thread_ = std::thread(entry);
        return true;
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool WorkerThread::joinable() const {
    return thread_.joinable();
}

void WorkerThread::join() {
    thread_.join();
}

void WorkerThread::detach() {
    thread_.detach();
}
#endif

}  // namespace wsbridge
