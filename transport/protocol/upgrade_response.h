// Incremental parser of the server's answer to the upgrade request (RFC 6455 4.1, RFC 9112).
//
// How the transport drives it: after writing the request, read whatever the connection gives and
// call feed() with it, in any chunking. While the result is NeedMore, all of the input was taken
// (kept inside, up to maxResponseHeaderSize) and more must be read. On Done the upgrade is
// accepted; input[consumed..] is the start of the frame stream and must go to the FrameDecoder
// first, before anything read later. On Failed the connection cannot be used; headerComplete()
// tells an HTTP answer that is not an upgrade (e.g. 403) from a broken or oversized one, and
// statusCode() gives the status when the status line was read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "transport/protocol/header_fields.h"
#include "transport/protocol/response_head.h"

namespace wsbridge::protocol {

class UpgradeResponseParser {
  public:
    // `clientKey` is the Sec-WebSocket-Key the request carried, `offeredSubprotocols` what its
    // Sec-WebSocket-Protocol offered. We offer no extension, so a response that names one is
    // refused; so is one that selects a subprotocol not offered, or names one more than once.
    explicit UpgradeResponseParser(std::string_view clientKey,
                                   std::vector<std::string> offeredSubprotocols = {});

    // Takes the next bytes of the response. After Done or Failed the result is final and later
    // calls return it again, consuming nothing.
    ParseResult feed(std::span<const std::uint8_t> input);

    bool headerComplete() const { return headerComplete_; }
    int statusCode() const { return head_.statusCode(); }  // 0 until the status line was read
    // Once the header block is complete and valid: the value of the index-th (from 0) header
    // `name` (matched ignoring case), without the whitespace around it; nullopt when there is none.
    std::optional<std::string_view> fieldValue(std::string_view name, std::size_t index) const;

  private:
    ParseResult finish(std::size_t consumed);
    ParseResult fail(ProtocolError error, std::size_t consumed);

    std::string expectedAccept_;
    std::vector<std::string> offeredSubprotocols_;
    std::vector<HeaderField> fields_;  // the header fields, once the block is complete and valid
    ResponseHeadReader head_;
    ParseResult final_;
    bool headerComplete_ = false;
};

}  // namespace wsbridge::protocol
