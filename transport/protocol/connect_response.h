// Incremental parser of an HTTP proxy's answer to CONNECT (RFC 9110 9.3.6).
//
// How the transport drives it: after writing the CONNECT request to the proxy, read whatever the
// connection gives and call feed() with it, in any chunking. While the result is NeedMore, all of
// the input was taken and more must be read. On Done the tunnel is open: input[consumed..] came
// from the far end of the tunnel and belongs to the next layer (TLS or the upgrade) before
// anything read later. On Failed the connection cannot be used; statusCode() gives the proxy's
// final status when its head was read whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "transport/protocol/response_head.h"

namespace wsbridge::protocol {

// Interim (1xx) heads a proxy may send before its final answer (RFC 9110 15.2): skipped, each
// bounded by maxResponseHeaderSize, but no more than this many.
inline constexpr int maxInterimResponses = 4;

class ConnectResponseParser {
  public:
    // Takes the next bytes of the answer. A 2xx final status opens the tunnel (Done); any other
    // fails: ProxyAuthenticationRequired for 407, TunnelRefused for the rest, or the errors of a
    // malformed or oversized head. Header fields are checked for form only: a 2xx answer's
    // Content-Length or Transfer-Encoding must be ignored (RFC 9110 9.3.6). After Done or Failed
    // the result is final and later calls return it again, consuming nothing.
    ParseResult feed(std::span<const std::uint8_t> input);

    // The final status, 0 until a final head was read whole.
    int statusCode() const { return finalStatus_; }

  private:
    ParseResult fail(ProtocolError error, std::size_t consumed);

    ResponseHeadReader head_;
    ParseResult final_;
    int interimCount_ = 0;
    int finalStatus_ = 0;
};

}  // namespace wsbridge::protocol
