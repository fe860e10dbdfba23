// UTF-8 (as typed on standard input or the command line) to the UTF-16 the library takes.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// Decodes text as UTF-8. Each maximal ill-formed subsequence (a stray continuation byte, a
// truncated sequence, an overlong form, an encoded surrogate, a value above U+10FFFF) becomes one
// U+FFFD, the practice Unicode recommends (Unicode 15, section 3.9, "U+FFFD Substitution of
// Maximal Subparts"). Code points above U+FFFF become surrogate pairs.
std::u16string utf8ToUtf16(std::string_view text);

}  // namespace cli
