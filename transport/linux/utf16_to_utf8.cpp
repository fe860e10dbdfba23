#include "transport/linux/utf16_to_utf8.h"

namespace wsbridge::transport {
namespace {

inline constexpr char32_t firstHighSurrogate = 0xD800;
inline constexpr char32_t firstLowSurrogate = 0xDC00;
inline constexpr char32_t pastLowSurrogate = 0xE000;
inline constexpr char32_t firstSupplementary = 0x10000;
inline constexpr int surrogateShift = 10;

void appendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < firstSupplementary) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

}  // namespace

std::optional<std::string> utf8FromUtf16(LPCWSTR text) {
    std::string out;
    if (!text) return out;
    for (const WCHAR* unit = text; *unit != 0; ++unit) {
        const char32_t value = *unit;
        if (value < firstHighSurrogate || value >= pastLowSurrogate) {
            appendUtf8(out, value);
            continue;
        }
        const char32_t low = unit[1];
        if (value >= firstLowSurrogate || low < firstLowSurrogate || low >= pastLowSurrogate) {
            return std::nullopt;  // an unpaired surrogate has no UTF-8 form
        }
        appendUtf8(out, firstSupplementary + ((value - firstHighSurrogate) << surrogateShift) +
                            (low - firstLowSurrogate));
        ++unit;
    }
    return out;
}

}  // namespace wsbridge::transport
