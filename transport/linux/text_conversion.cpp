// UTF-16 to 8-bit text, as the platform converts with flags 0: an unpaired surrogate becomes
// U+FFFD. The ANSI code page is taken to be UTF-8 here.
#include <cstddef>

#include "transport/linux/utf16_to_utf8.h"

namespace {

using wsbridge::transport::encodeUtf8;
using wsbridge::transport::maxUtf8Size;
using wsbridge::transport::nextCodePoint;

// The number of ASCII code units at the start of text[0, length).
std::size_t asciiRunLength(const WCHAR* text, std::size_t length) {
    constexpr char16_t firstNonAscii = 0x80;
    std::size_t run = 0;
    while (run < length && text[run] < firstNonAscii) ++run;
    return run;
}

std::size_t measureText(const WCHAR* text, int wideLength) {
    if (wideLength >= 0) return static_cast<std::size_t>(wideLength);
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    return length + 1;  // the terminator is converted too
}

}  // namespace

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText, int wideLength, LPSTR output,
                        int outputSize, LPCCH defaultChar, LPBOOL usedDefaultChar) {
    if ((codePage != CP_UTF8 && codePage != CP_ACP) || !wideText || wideLength == 0 ||
        outputSize < 0 || (outputSize > 0 && !output) ||
        (codePage == CP_UTF8 && (defaultChar || usedDefaultChar))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (usedDefaultChar) *usedDefaultChar = FALSE;  // every code point has a UTF-8 form
    const std::size_t length = measureText(wideText, wideLength);
    std::size_t written = 0;
    std::size_t index = 0;
    while (index < length) {
        // ASCII, the usual text, is one byte per unit: a whole run is copied at once, without
        // the code point machinery, and stops where the output is full just as it would unit
        // by unit.
        if (const std::size_t run = asciiRunLength(wideText + index, length - index); run > 0) {
            if (outputSize > 0) {
                const std::size_t room = static_cast<std::size_t>(outputSize) - written;
                const std::size_t fits = run < room ? run : room;
                for (std::size_t i = 0; i < fits; ++i) {
                    output[written + i] = static_cast<char>(wideText[index + i]);
                }
                if (run > room) {
                    SetLastError(ERROR_INSUFFICIENT_BUFFER);
                    return 0;
                }
            }
            written += run;
            index += run;
            if (written > 0x7FFFFFFF) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            continue;
        }
        char encoded[maxUtf8Size];
        const std::size_t size = encodeUtf8(nextCodePoint(wideText, length, index).value, encoded);
        if (outputSize > 0) {
            if (written + size > static_cast<std::size_t>(outputSize)) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            for (std::size_t i = 0; i < size; ++i) output[written + i] = encoded[i];
        }
        written += size;
        if (written > 0x7FFFFFFF) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
    }
    return static_cast<int>(written);
}
