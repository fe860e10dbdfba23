// Collecting the head (bounded, each byte searched once) and taking it apart (RFC 9112 4, 5).
#include "transport/protocol/response_head.h"

#include <algorithm>
#include <cctype>

namespace wsbridge::protocol {
namespace {

constexpr int statusDigits = 3;
constexpr std::string_view httpVersionPrefix = "HTTP/1.";

bool isOptionalWhitespace(char character) {
    return character == ' ' || character == '\t';
}

bool isDigit(char character) {
    return std::isdigit(static_cast<unsigned char>(character)) != 0;
}

// Takes the next line (without its LF, and without a CR before it) off the front of `block`.
std::string_view takeLine(std::string_view& block) {
    const std::size_t end = block.find('\n');
    std::string_view line = block.substr(0, end);
    block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// "HTTP/1.x SP 3DIGIT [SP reason]" (RFC 9112 4); returns the status or 0 when malformed.
int parseStatusLine(std::string_view line) {
    if (!line.starts_with(httpVersionPrefix)) return 0;
    line.remove_prefix(httpVersionPrefix.size());
    if (line.empty() || !isDigit(line.front())) return 0;
    line.remove_prefix(1);
    if (line.empty() || line.front() != ' ') return 0;
    line = trimWhitespace(line);
    if (line.size() < statusDigits) return 0;
    int status = 0;
    for (std::size_t i = 0; i < statusDigits; ++i) {
        if (!isDigit(line[i])) return 0;
        status = status * 10 + (line[i] - '0');
    }
    if (line.size() > statusDigits && !isOptionalWhitespace(line[statusDigits])) return 0;
    return isFieldValue(line) ? status : 0;
}

// Splits "name: value"; false when the line is not a valid header field (RFC 9112 5).
bool splitHeader(std::string_view line, std::string_view& name, std::string_view& value) {
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return false;
    name = line.substr(0, colon);
    // No whitespace before the colon, and no obsolete line folding (RFC 9112 5.1, 5.2).
    if (!isToken(name)) return false;
    value = trimWhitespace(line.substr(colon + 1));
    return isFieldValue(value);
}

}  // namespace

ParseResult ResponseHeadReader::collect(std::span<const std::uint8_t> input) {
    if (head_.capacity() < maxResponseHeaderSize) head_.reserve(maxResponseHeaderSize);
    const std::size_t before = head_.size();
    const std::size_t taken = std::min(input.size(), maxResponseHeaderSize - before);
    head_.append(reinterpret_cast<const char*>(input.data()), taken);

    // The block ends with an empty line: a LF right after the LF (or CRLF) that ended the line
    // before. Only the new bytes are searched, each exactly once.
    for (; scanned_ < head_.size(); ++scanned_) {
        if (head_[scanned_] != '\n') continue;
        const std::size_t lineLength = scanned_ - lineStart_;
        const bool emptyLine = lineLength == 0 || (lineLength == 1 && head_[lineStart_] == '\r');
        if (emptyLine && lineStart_ > 0) {
            head_.resize(scanned_ + 1);
            unparsed_ = head_;
            return {ParseStatus::Done, scanned_ + 1 - before, ProtocolError::None};
        }
        lineStart_ = scanned_ + 1;
    }
    if (head_.size() == maxResponseHeaderSize) {
        return {ParseStatus::Failed, taken, ProtocolError::ResponseTooLarge};
    }
    return {ParseStatus::NeedMore, taken, ProtocolError::None};
}

ProtocolError ResponseHeadReader::parseStatus() {
    statusCode_ = parseStatusLine(takeLine(unparsed_));
    return statusCode_ == 0 ? ProtocolError::MalformedStatusLine : ProtocolError::None;
}

bool ResponseHeadReader::nextField(std::string_view& name, std::string_view& value,
                                   ProtocolError& error) {
    const std::string_view line = takeLine(unparsed_);
    if (line.empty()) return false;
    if (!splitHeader(line, name, value)) {
        error = ProtocolError::MalformedHeader;
        return false;
    }
    return true;
}

void ResponseHeadReader::reset() {
    head_.clear();
    scanned_ = 0;
    lineStart_ = 0;
    unparsed_ = {};
    statusCode_ = 0;
}

}  // namespace wsbridge::protocol
