// Every time limit of the socket transport, in one place. None is configurable: the host gives
// only a host, a port, a path and a TLS flag.
#pragma once

#include <chrono>

namespace wsbridge::transport {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

namespace timeLimit {

// One TCP connect attempt, per resolved address; the next address gets a fresh bound.
inline constexpr std::chrono::milliseconds connect{10'000};
// The TLS handshake, from the first ClientHello to the verified certificate.
inline constexpr std::chrono::milliseconds tlsHandshake{10'000};
// Writing the upgrade request, and then reading the whole response header block.
inline constexpr std::chrono::milliseconds response{10'000};
// One WebSocket send: a server that stops reading cannot hold the sender longer than this.
inline constexpr std::chrono::milliseconds send{10'000};
// The whole of WinHttpWebSocketClose: writing our close frame, then waiting for the server's
// close, before the socket is shut. (The platform waits up to 10 s; we are quicker.)
inline constexpr std::chrono::milliseconds closeWait{1'000};
// A connection with no traffic either way for this long gets an unsolicited pong (RFC 6455
// 5.5.3 allows one as a unidirectional heartbeat), sent from within the pending receive.
inline constexpr std::chrono::milliseconds keepalive{30'000};

}  // namespace timeLimit

inline Deadline deadlineAfter(std::chrono::milliseconds limit) {
    return Clock::now() + limit;
}

}  // namespace wsbridge::transport
