// The HTTP upgrade (RFC 6455 4) as the loopback tools need it, over their channel: the server
// checks a client's request and answers 101 (with the test peers' handshake pieces); the raw
// reader sends a fixed request and skips the answer.
#pragma once

#include <string>

#include "byte_channel.h"

namespace loopback {

// Reads the request header block; answers 101 if it is a valid WebSocket upgrade (GET, Upgrade:
// websocket, Connection holding "upgrade", version 13, a key), else 400. `leftover` receives any
// bytes that came after the header block: they are the first frames.
bool acceptUpgrade(ByteChannel& channel, std::string& leftover);

// Sends an upgrade request for "/" and reads up to the end of a 101 answer. `leftover` receives
// the frame bytes that came with it.
bool requestUpgrade(ByteChannel& channel, int port, std::string& leftover);

}  // namespace loopback
