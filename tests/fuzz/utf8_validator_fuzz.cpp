// Fuzzes the UTF-8 validator against a slow, obviously correct decoder, whole and cut in three
// pieces at points the first two bytes choose.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "transport/protocol/utf8_validator.h"

namespace {

using wsbridge::protocol::Utf8Validator;

void require(bool condition) {
    if (!condition) std::abort();
}

// RFC 3629: decode each sequence fully, then refuse overlongs, surrogates and values past
// U+10FFFF.
bool referenceIsValid(std::span<const std::uint8_t> bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const std::uint8_t lead = bytes[at];
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (lead < 0x80) {
            length = 1;
            point = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            point = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            point = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (at + length > bytes.size()) return false;
        for (std::size_t i = 1; i < length; ++i) {
            if ((bytes[at + i] & 0xC0) != 0x80) return false;
            point = (point << 6) | (bytes[at + i] & 0x3F);
        }
        const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < shortest[length] || point > 0x10FFFF) return false;
        if (point >= 0xD800 && point <= 0xDFFF) return false;
        at += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::span<const std::uint8_t> text(data + 2, size - 2);
    const bool expected = referenceIsValid(text);
    require(wsbridge::protocol::isValidUtf8(text) == expected);

    const std::size_t firstCut = text.empty() ? 0 : data[0] % (text.size() + 1);
    const std::size_t secondCut =
        firstCut + (text.size() - firstCut == 0 ? 0 : data[1] % (text.size() - firstCut + 1));
    Utf8Validator validator;
    validator.feed(text.first(firstCut));
    validator.feed(text.subspan(firstCut, secondCut - firstCut));
    validator.feed(text.subspan(secondCut));
    require(validator.complete() == expected);
    return 0;
}
