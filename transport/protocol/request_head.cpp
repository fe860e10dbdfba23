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

bool isAcceptableHost(std::string_view host) {
    if (host.empty()) return false;
    return std::ranges::none_of(host, [](char character) {
        return isControl(character) || character == ' ' || character == '/' || character == '@';
    });
}

bool isAcceptableHeaderValue(std::string_view value) {
    return std::ranges::none_of(value, isControl);
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
