// The head of an HTTP/1.x response (RFC 9112 2.1): the status line and the header fields up to
// the empty line that ends them, collected incrementally and bounded, then taken apart. Both
// answers the client reads before its frames are read with it: the server's answer to the
// upgrade request and a proxy's answer to CONNECT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "transport/protocol/header_fields.h"
#include "transport/protocol/protocol_error.h"

namespace wsbridge::protocol {

// The whole header block (status line, headers, blank line) may be at most this long; a longer
// one is an error, never a reason to grow.
inline constexpr std::size_t maxResponseHeaderSize = 16 * 1024;

enum class ParseStatus : std::uint8_t { NeedMore, Done, Failed };

struct ParseResult {
    ParseStatus status = ParseStatus::NeedMore;
    std::size_t consumed = 0;  // bytes of this input taken; on Done, what follows is not ours
    ProtocolError error = ProtocolError::None;  // set when Failed
};

class ResponseHeadReader {
  public:
    // Takes the next bytes of the head. NeedMore: all of input was taken and the head goes on.
    // Done: the head is complete, and its last byte was input[consumed - 1]. Failed: the head
    // reached maxResponseHeaderSize without ending (ResponseTooLarge).
    ParseResult collect(std::span<const std::uint8_t> input);

    // Takes the collected head apart: the status line, then each header field in order, handed
    // to `onField` as its name and its value without surrounding whitespace. Returns
    // MalformedStatusLine or MalformedHeader (at the first bad line), else None. Call once,
    // after collect() said Done.
    template <typename OnField>
    ProtocolError parse(OnField&& onField);

    int statusCode() const { return statusCode_; }  // 0 until a valid status line was parsed

    // Forgets the head, to read the next one on the same connection (after an interim 1xx).
    void reset();

  private:
    // Checks the status line and moves unparsed_ past it.
    ProtocolError parseStatus();
    // The next header field of unparsed_, or false at the blank line; `error` set when malformed.
    bool nextField(std::string_view& name, std::string_view& value, ProtocolError& error);

    std::string head_;           // the block so far, never longer than maxResponseHeaderSize
    std::size_t scanned_ = 0;    // bytes of head_ already searched for the end of the block
    std::size_t lineStart_ = 0;  // where the line being searched begins in head_
    std::string_view unparsed_;  // the part of the complete block not yet parsed
    int statusCode_ = 0;
};

template <typename OnField>
ProtocolError ResponseHeadReader::parse(OnField&& onField) {
    if (const ProtocolError error = parseStatus(); error != ProtocolError::None) return error;
    std::string_view name;
    std::string_view value;
    ProtocolError error = ProtocolError::None;
    while (nextField(name, value, error)) onField(name, value);
    return error;
}

}  // namespace wsbridge::protocol
