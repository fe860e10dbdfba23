#include "transport/protocol/request_head.h"

#include <algorithm>
#include <cstdint>

namespace wsbridge::protocol {
namespace {

constexpr std::uint8_t firstPrintable = 0x20;
constexpr std::uint8_t deleteByte = 0x7F;

bool isControl(char character) {
    const auto byte = static_cast<std::uint8_t>(character);
    return byte < firstPrintable || byte == deleteByte;
}

}  // namespace

ProtocolError checkHost(std::string_view host) {
    const bool breaksLine =
        host.empty() || std::ranges::any_of(host, [](char character) {
            return isControl(character) || character == ' ' || character == '/' || character == '@';
        });
    return breaksLine ? ProtocolError::InvalidHost : ProtocolError::None;
}

ProtocolError checkUserAgent(std::string_view userAgent) {
    return std::ranges::any_of(userAgent, isControl) ? ProtocolError::InvalidUserAgent
                                                     : ProtocolError::None;
}

std::string uriHost(std::string_view host) {
    const bool bracket = host.find(':') != std::string_view::npos && host.front() != '[';
    std::string text;
    if (bracket) text.push_back('[');
    text.append(host);
    if (bracket) text.push_back(']');
    return text;
}

void appendHeader(std::string& text, std::string_view name, std::string_view value) {
    text.append(name).append(": ").append(value).append(lineEnd);
}

}  // namespace wsbridge::protocol
