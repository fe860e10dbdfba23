// UTF-16 to UTF-8, the one encoder of the Linux transport. The platform's conversion
// (WideCharToMultiByte, for the bridge's host-facing text) replaces an unpaired surrogate with
// U+FFFD; text that goes on the wire (host, path, user-agent) is refused instead.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "transport/linux/winhttp_decls.h"

namespace wsbridge::transport {

inline constexpr std::size_t maxUtf8Size = 4;  // bytes of one code point's UTF-8 form

struct CodePoint {
    char32_t value = 0;     // U+FFFD for an unpaired surrogate
    bool unpaired = false;  // an unpaired surrogate was read
};

// Reads the code point that starts at text[index] (index < length) and moves index past it.
CodePoint nextCodePoint(const WCHAR* text, std::size_t length, std::size_t& index);

// Writes the UTF-8 form of codePoint to out, which has room for maxUtf8Size bytes; returns its
// size.
std::size_t encodeUtf8(char32_t codePoint, char* out);

// Exact conversion: text is NUL-terminated, null is taken as the empty text, and an unpaired
// surrogate, which has no UTF-8 form, gives nothing.
std::optional<std::string> utf8FromUtf16(LPCWSTR text);

}  // namespace wsbridge::transport
