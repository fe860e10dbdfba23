// Escaping of the request path for the request line, as the platform's HTTP client does when it
// is given no escaping flags: unsafe bytes become %XX, '%' is trusted to start an escape already.
#include "transport/protocol/path_escape.h"

#include <cstdint>

namespace wsbridge::protocol {
namespace {

constexpr std::uint8_t firstPrintable = 0x21;  // below it: controls and space
constexpr std::uint8_t deleteByte = 0x7F;      // DEL, and every byte from here up
constexpr std::string_view unsafeCharacters = "\"#<>[\\]^{|}`";
constexpr char hexDigits[] = "0123456789ABCDEF";
constexpr int nibbleBits = 4;
constexpr std::uint8_t nibbleMask = 0x0F;

bool needsEscape(std::uint8_t byte) {
    if (byte < firstPrintable || byte >= deleteByte) return true;
    return unsafeCharacters.find(static_cast<char>(byte)) != std::string_view::npos;
}

}  // namespace

std::string escapeRequestPath(std::string_view path) {
    std::string escaped;
    escaped.reserve(path.size() + 1);
    if (path.empty() || path.front() != '/') escaped.push_back('/');
    for (const char character : path) {
        const auto byte = static_cast<std::uint8_t>(character);
        if (!needsEscape(byte)) {
            escaped.push_back(character);
            continue;
        }
        escaped.push_back('%');
        escaped.push_back(hexDigits[byte >> nibbleBits]);
        escaped.push_back(hexDigits[byte & nibbleMask]);
    }
    return escaped;
}

}  // namespace wsbridge::protocol
