// TLS over a connected socket: OpenSSL 3, TLS 1.2 or later, the peer's certificate verified
// against the default trust store (SSL_CERT_FILE and SSL_CERT_DIR apply) and against the host
// name or IP address asked for. There is no way to turn verification off.
#pragma once

#include <memory>
#include <string>

#include "transport/linux/byte_stream.h"
#include "transport/linux/wake_event.h"
#include "transport/linux/winhttp_decls.h"

namespace wsbridge::transport {

struct TlsStartResult {
    std::unique_ptr<ByteStream> stream;  // set when error is ERROR_SUCCESS
    DWORD error = ERROR_SUCCESS;
};

// Initialises OpenSSL once, before its first use anywhere in the transport (random bytes
// included), without the exit-time cleanup. False when OpenSSL cannot be initialised.
bool prepareOpenSsl();

// Runs the handshake within the TLS time limit, over the socket and what was read from it
// already (a proxy's tunnel may have passed bytes on with its answer). `host` is the server's,
// never a proxy's: SNI and the certificate check are for it. Errors: secure failure (handshake or
// verification refused), timed out, operation cancelled.
TlsStartResult startTls(UniqueFd socket, ReadAhead readAhead, const std::string& host,
                        const WakeEvent& cancel);

}  // namespace wsbridge::transport
