// The server's side of the opening handshake (RFC 6455 4.2), as the test servers and the
// benchmark's server answer a client: find the end of the request's header block, check it is a
// WebSocket upgrade, and answer 101 with the accept value. Written apart from the library's own
// handshake code, so a mistake in one is not repeated in the other.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace peers {

inline constexpr std::size_t maxRequestHeaderSize = 16 * 1024;
inline constexpr std::string_view badRequestAnswer =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";

// Where the header block that starts `received` ends (past its blank line); nothing while the
// blank line has not arrived.
std::optional<std::size_t> headerBlockEnd(std::string_view received);

// The value of a header in a header block (names compared without case), if present.
std::optional<std::string> headerValue(std::string_view block, std::string_view name);

// The Sec-WebSocket-Key of a valid upgrade request (GET, Upgrade: websocket, Connection holding
// "upgrade", version 13, a key), or nothing.
std::optional<std::string> upgradeKey(std::string_view requestBlock);

// base64(SHA-1(key + the RFC's GUID)), RFC 6455 4.2.2 item 5.4.
std::string acceptValue(std::string_view key);

// The 101 answer to a request that carried `key`.
std::string switchingProtocolsAnswer(std::string_view key);

}  // namespace peers
