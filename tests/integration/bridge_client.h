// The seven exported functions as a test uses them: connect and wait for the handshake's end,
// read texts and messages, wait for a status, all with bounded waits.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include "wsbridge.h"

namespace integration {

using namespace std::chrono_literals;

inline constexpr auto handshakeLimit = 30s;  // above every transport time limit
inline constexpr auto messageLimit = 15s;

std::u16string utf16(const std::string& ascii);

// WsConnect, then waits until the status is no longer Connecting (or 0 right after the call).
int connectAndWait(const std::string& host, int port, const std::string& path = "/",
                   bool secure = false);
// The same with WsConnectWithHeaders; a refused header text returns -1 at once.
int connectWithHeadersAndWait(const std::string& host, int port, const std::u16string& headers);
std::string lastErrorText();

struct CloseStatus {
    int code = 0;
    std::string reason;
    bool operator==(const CloseStatus&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const CloseStatus& status) {
    return out << status.code << " '" << status.reason << "'";
}
// WsGetCloseStatus with room for the longest reason.
CloseStatus closeStatus();
// Waits until the status equals wanted; true if it did within the limit.
bool waitForStatus(int wanted, std::chrono::milliseconds limit = messageLimit);
// Waits for a queued message and reads it whole.
std::optional<std::string> waitForMessage(std::chrono::milliseconds limit = messageLimit);
bool sendText(const std::u16string& text);

}  // namespace integration
