#include "utf8_to_utf16.h"

#include <cstdint>

namespace cli {
namespace {

inline constexpr char16_t replacementCharacter = 0xFFFD;
inline constexpr char32_t firstSupplementaryCodePoint = 0x10000;
inline constexpr char16_t highSurrogateBase = 0xD800;
inline constexpr char16_t lowSurrogateBase = 0xDC00;

// What a lead byte announces: how many continuation bytes follow, the bits it carries, and the
// range the first continuation byte must fall in so that the sequence is neither overlong, nor a
// surrogate, nor above U+10FFFF (RFC 3629 4, the UTF8-2/3/4 rules).
struct LeadByte {
    int continuationCount = -1;  // -1: not a lead byte
    char32_t bits = 0;
    std::uint8_t secondLow = 0x80;
    std::uint8_t secondHigh = 0xBF;
};

LeadByte classifyLead(std::uint8_t byte) {
    if (byte >= 0xC2 && byte <= 0xDF) return {1, byte & 0x1Fu};
    if (byte == 0xE0) return {2, byte & 0x0Fu, 0xA0, 0xBF};
    if (byte == 0xED) return {2, byte & 0x0Fu, 0x80, 0x9F};
    if (byte >= 0xE1 && byte <= 0xEF) return {2, byte & 0x0Fu};
    if (byte == 0xF0) return {3, byte & 0x07u, 0x90, 0xBF};
    if (byte >= 0xF1 && byte <= 0xF3) return {3, byte & 0x07u};
    if (byte == 0xF4) return {3, byte & 0x07u, 0x80, 0x8F};
    return {};
}

void appendCodePoint(std::u16string& out, char32_t codePoint) {
    if (codePoint < firstSupplementaryCodePoint) {
        out.push_back(static_cast<char16_t>(codePoint));
        return;
    }
    const char32_t offset = codePoint - firstSupplementaryCodePoint;
    out.push_back(static_cast<char16_t>(highSurrogateBase + (offset >> 10)));
    out.push_back(static_cast<char16_t>(lowSurrogateBase + (offset & 0x3FF)));
}

}  // namespace

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t index = 0;
    while (index < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[index++]);
        if (lead < 0x80) {
            out.push_back(lead);
            continue;
        }
        const LeadByte kind = classifyLead(lead);
        if (kind.continuationCount < 0) {
            out.push_back(replacementCharacter);
            continue;
        }
        char32_t codePoint = kind.bits;
        int remaining = kind.continuationCount;
        std::uint8_t low = kind.secondLow;
        std::uint8_t high = kind.secondHigh;
        while (remaining > 0 && index < text.size()) {
            const auto byte = static_cast<std::uint8_t>(text[index]);
            if (byte < low || byte > high) break;  // not consumed: it may start the next sequence
            codePoint = (codePoint << 6) | (byte & 0x3Fu);
            ++index;
            --remaining;
            low = 0x80;
            high = 0xBF;
        }
        if (remaining == 0) {
            appendCodePoint(out, codePoint);
        } else {
            out.push_back(replacementCharacter);
        }
    }
    return out;
}

}  // namespace cli
