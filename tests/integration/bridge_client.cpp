#include "bridge_client.h"

#include <memory>
#include <thread>
#include <vector>

namespace integration {
namespace {

inline constexpr auto pollInterval = 2ms;
inline constexpr int lastErrorCapacity = 512;
inline constexpr int largestMessage = 4 * 1024 * 1024;
inline constexpr auto workerStartLimit = 500ms;

template <typename Done>
bool waitUntil(Done done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pollInterval);
    }
    return true;
}

}  // namespace

std::u16string utf16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

int connectAndWait(const std::string& host, int port, const std::string& path, bool secure) {
    const std::u16string wideHost = utf16(host);
    const std::u16string widePath = utf16(path);
    WsConnect(wideHost.c_str(), port, widePath.c_str(), secure ? 1 : 0);
    // The handshake has ended at Connected or Error, or at Disconnected once the worker was seen
    // running (a connection the server ends at once may pass through Connected unseen, so
    // Disconnected also counts after a moment in which the worker must have started).
    const auto start = std::chrono::steady_clock::now();
    bool seenRunning = false;
    waitUntil(
        [&] {
            const int status = WsGetStatus();
            if (status == WS_STATUS_CONNECTED || status == WS_STATUS_ERROR) return true;
            if (status == WS_STATUS_CONNECTING) seenRunning = true;
            return status == WS_STATUS_DISCONNECTED &&
                   (seenRunning || std::chrono::steady_clock::now() - start > workerStartLimit);
        },
        handshakeLimit);
    return WsGetStatus();
}

std::string lastErrorText() {
    char text[lastErrorCapacity];
    const int length = WsGetLastError(text, sizeof text);
    return std::string(text, static_cast<std::size_t>(length));
}

bool waitForStatus(int wanted, std::chrono::milliseconds limit) {
    return waitUntil([wanted] { return WsGetStatus() == wanted; }, limit);
}

std::optional<std::string> waitForMessage(std::chrono::milliseconds limit) {
    if (!waitUntil([] { return WsHasMessages() == 1; }, limit)) return std::nullopt;
    // Not zero-filled: 4 MiB of memset per message made many-message tests crawl under TSan.
    const auto buffer = std::make_unique_for_overwrite<char[]>(largestMessage + 1);
    const int length = WsReadMessage(buffer.get(), static_cast<int>(largestMessage + 1));
    return std::string(buffer.get(), static_cast<std::size_t>(length));
}

bool sendText(const std::u16string& text) {
    return WsSendMessage(text.c_str()) == 1;
}

}  // namespace integration
