#include "message_format.h"

namespace cli {
namespace {

std::string toHex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2 + 1);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0F]);
    }
    return hex;
}

}  // namespace

std::string formatMessage(std::string_view message, OutputFormat format) {
    std::string line;
    switch (format) {
        case OutputFormat::Text:
            line.assign(message);
            break;
        case OutputFormat::Hex:
            line = toHex(message);
            break;
        case OutputFormat::Raw:
            line = std::to_string(message.size()) + ":";
            line.append(message);
            break;
    }
    line.push_back('\n');
    return line;
}

}  // namespace cli
