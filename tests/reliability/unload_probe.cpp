// A host in a process of its own that loads the library with dlopen, starts a connection to
// 127.0.0.1:PORT (with a fourth argument "tls": to localhost:PORT over TLS), and then leaves in one
// of these ways (MODE):
//   unload-connected    dlclose once the status is Connected
//   unload-connecting   dlclose while the handshake is still under way
//   unload-failed       dlclose right after the handshake failed (status 3)
//   exit-connected      return from main while connected, the library still loaded
//   exit-connecting     return from main during the handshake
// It exits 0 when every step went as expected, 1 otherwise; under ASan the leak check at exit
// covers whatever the unload left behind.
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

using ConnectFunction = int (*)(const char16_t*, int, const char16_t*, int);
using StatusFunction = int (*)();

constexpr int statusConnecting = 1;
constexpr int statusConnected = 2;
constexpr int statusError = 3;
constexpr auto statusLimit = 20s;

bool waitForStatus(StatusFunction getStatus, int wanted) {
    const auto deadline = std::chrono::steady_clock::now() + statusLimit;
    while (getStatus() != wanted) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

int wantedStatusFor(const std::string& mode) {
    if (mode == "unload-connected" || mode == "exit-connected") return statusConnected;
    if (mode == "unload-failed") return statusError;
    return statusConnecting;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) return 2;
    const std::string mode = argv[2];
    const bool secure = argc == 5 && std::string(argv[4]) == "tls";
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto connect = reinterpret_cast<ConnectFunction>(dlsym(library, "WsConnect"));
    auto getStatus = reinterpret_cast<StatusFunction>(dlsym(library, "WsGetStatus"));
    if (!connect || !getStatus) return 1;
    const char16_t* host = secure ? u"localhost" : u"127.0.0.1";
    if (connect(host, std::stoi(argv[3]), u"/", secure ? 1 : 0) != 1) return 1;
    if (!waitForStatus(getStatus, wantedStatusFor(mode))) {
        std::fprintf(stderr, "status %d, not the one wanted for %s\n", getStatus(), mode.c_str());
        return 1;
    }
    if (mode.rfind("unload-", 0) == 0 && dlclose(library) != 0) {
        std::fprintf(stderr, "dlclose: %s\n", dlerror());
        return 1;
    }
    return 0;
}
