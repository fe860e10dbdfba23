// A host in a process of its own whose address space is limited to what it uses at the start
// plus HEADROOM_MIB: it connects to 127.0.0.1:PORT, whose server streams one message far larger
// than that, and waits for the connection to end. It prints the status and the last-error text,
// then calls every exported function once more. Exits 0 if all of that could be done.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "wsbridge.h"

namespace {

using namespace std::chrono_literals;

constexpr auto endLimit = 120s;
constexpr long kibPerMib = 1024;

long virtualSizeKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
    }
    return -1;
}

bool limitAddressSpace(long headroomMiB) {
    const long now = virtualSizeKiB();
    if (now < 0) return false;
    const rlim_t bytes = static_cast<rlim_t>(now + headroomMiB * kibPerMib) * 1024;
    const rlimit limit{bytes, bytes};
    return setrlimit(RLIMIT_AS, &limit) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    // The worker's thread and its stack are mapped once connected; start it before the limit.
    if (!limitAddressSpace(std::stol(argv[2]))) return 1;
    if (WsConnect(u"127.0.0.1", std::stoi(argv[1]), u"/", 0) != 1) return 1;
    const auto deadline = std::chrono::steady_clock::now() + endLimit;
    while (WsGetStatus() != WS_STATUS_CONNECTED && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    while (WsGetStatus() == WS_STATUS_CONNECTED && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    char text[512];
    WsGetLastError(text, sizeof text);
    std::printf("%d %s\n", WsGetStatus(), text);
    // Every function once more, as a host would go on after the failure.
    std::printf("has %d read %d send %d\n", WsHasMessages(), WsReadMessage(text, sizeof text),
                WsSendMessage(u"still here"));
    std::printf("disconnect %d status %d\n", WsDisconnect(), WsGetStatus());
    std::fflush(stdout);
    return 0;
}
