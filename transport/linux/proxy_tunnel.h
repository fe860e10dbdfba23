// The connection the upgrade request goes over: straight to the server, or through a tunnel that
// an HTTP proxy opens to it with CONNECT (RFC 9110 9.3.6), as the environment says.
#pragma once

#include <cstdint>
#include <string>

#include "transport/linux/byte_stream.h"
#include "transport/linux/unique_fd.h"
#include "transport/linux/wake_event.h"
#include "transport/linux/winhttp_decls.h"
#include "transport/protocol/protocol_error.h"

namespace wsbridge::transport {

struct ServerAddress {
    const std::string& host;  // the server's name or IP literal (IPv6 without brackets)
    std::uint16_t port;
    bool secure;  // wss://: decides which proxy variable applies
    const std::string& userAgent;
};

struct ServerConnection {
    // Set when no connection could be made: the server's or the proxy's name not resolved, the
    // connect refused or timed out, the proxy silent or gone before its answer ended, a proxy
    // variable that cannot be used.
    DWORD error = ERROR_SUCCESS;
    // Set when the proxy gave a whole answer that opened no tunnel: a refusal, 407, or a
    // malformed answer. The socket is closed.
    protocol::ProtocolError refusal = protocol::ProtocolError::None;
    UniqueFd socket;      // connected to the server, or to the far end of the tunnel
    ReadAhead readAhead;  // what came through the tunnel together with the proxy's answer
};

// With `useProxy` the proxy variables are read (once, here) and a proxy is chosen for the
// server; without it, or when none applies, the server is connected to straight away. Every
// wait is bounded: the connect limit per address (the proxy's addresses as the server's), and
// the response limit for the whole CONNECT exchange, which is answered by at most
// maxResponseHeaderSize bytes of head.
ServerConnection connectToServer(const ServerAddress& server, bool useProxy,
                                 const WakeEvent& cancel);

}  // namespace wsbridge::transport
