#include "transport/linux/utf16_to_utf8.h"

namespace wsbridge::transport {
namespace {

inline constexpr char32_t replacementCharacter = 0xFFFD;
inline constexpr char32_t firstHighSurrogate = 0xD800;
inline constexpr char32_t firstLowSurrogate = 0xDC00;
inline constexpr char32_t pastLowSurrogate = 0xE000;
inline constexpr char32_t firstSupplementary = 0x10000;
inline constexpr int surrogateShift = 10;
// The largest code point of each UTF-8 length (RFC 3629 3).
inline constexpr char32_t maxOneByte = 0x7F;
inline constexpr char32_t maxTwoBytes = 0x7FF;
inline constexpr char32_t maxThreeBytes = 0xFFFF;
inline constexpr int continuationBits = 6;
inline constexpr char32_t continuationMask = 0x3F;
inline constexpr unsigned char continuationTag = 0x80;
inline constexpr unsigned char twoByteTag = 0xC0;
inline constexpr unsigned char threeByteTag = 0xE0;
inline constexpr unsigned char fourByteTag = 0xF0;

bool isHighSurrogate(char32_t unit) {
    return unit >= firstHighSurrogate && unit < firstLowSurrogate;
}
bool isLowSurrogate(char32_t unit) {
    return unit >= firstLowSurrogate && unit < pastLowSurrogate;
}

char continuationByte(char32_t codePoint, int shift) {
    return static_cast<char>(continuationTag | ((codePoint >> shift) & continuationMask));
}

}  // namespace

CodePoint nextCodePoint(const WCHAR* text, std::size_t length, std::size_t& index) {
    const char32_t unit = text[index++];
    if (!isHighSurrogate(unit) && !isLowSurrogate(unit)) return {unit, false};
    if (isHighSurrogate(unit) && index < length && isLowSurrogate(text[index])) {
        const char32_t low = text[index++];
        return {firstSupplementary + ((unit - firstHighSurrogate) << surrogateShift) +
                    (low - firstLowSurrogate),
                false};
    }
    return {replacementCharacter, true};
}

std::size_t encodeUtf8(char32_t codePoint, char* out) {
    if (codePoint <= maxOneByte) {
        out[0] = static_cast<char>(codePoint);
        return 1;
    }
    if (codePoint <= maxTwoBytes) {
        out[0] = static_cast<char>(twoByteTag | (codePoint >> continuationBits));
        out[1] = continuationByte(codePoint, 0);
        return 2;
    }
    if (codePoint <= maxThreeBytes) {
        out[0] = static_cast<char>(threeByteTag | (codePoint >> (2 * continuationBits)));
        out[1] = continuationByte(codePoint, continuationBits);
        out[2] = continuationByte(codePoint, 0);
        return 3;
    }
    out[0] = static_cast<char>(fourByteTag | (codePoint >> (3 * continuationBits)));
    out[1] = continuationByte(codePoint, 2 * continuationBits);
    out[2] = continuationByte(codePoint, continuationBits);
    out[3] = continuationByte(codePoint, 0);
    return 4;
}

std::optional<std::string> utf8FromUtf16(LPCWSTR text) {
    std::string out;
    if (!text) return out;
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    for (std::size_t index = 0; index < length;) {
        const CodePoint codePoint = nextCodePoint(text, length, index);
        if (codePoint.unpaired) return std::nullopt;
        char encoded[maxUtf8Size];
        out.append(encoded, encodeUtf8(codePoint.value, encoded));
    }
    return out;
}

}  // namespace wsbridge::transport
