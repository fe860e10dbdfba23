// Name resolution and a TCP connect with a bounded time, trying each resolved address in turn.
#pragma once

#include <cstdint>
#include <string>

#include "transport/linux/unique_fd.h"
#include "transport/linux/wake_event.h"
#include "transport/linux/winhttp_decls.h"

namespace wsbridge::transport {

struct TcpConnectResult {
    UniqueFd socket;  // connected and non-blocking when error is ERROR_SUCCESS
    DWORD error = ERROR_SUCCESS;
};

// host is a name or an IPv4/IPv6 literal (without brackets). Errors: name not resolved, cannot
// connect (every address refused or unreachable), timed out (the last attempt ran out of time),
// operation cancelled (cancel was raised).
TcpConnectResult connectTcp(const std::string& host, std::uint16_t port, const WakeEvent& cancel);

}  // namespace wsbridge::transport
