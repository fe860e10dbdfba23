#include "utf8_to_utf16.h"

#include <gtest/gtest.h>

namespace {

struct Conversion {
    const char* name;
    std::string utf8;
    std::u16string utf16;
};

void PrintTo(const Conversion& conversion, std::ostream* out) {
    *out << conversion.name;
}

class Utf8ToUtf16 : public testing::TestWithParam<Conversion> {};

TEST_P(Utf8ToUtf16, Converts) {
    EXPECT_EQ(cli::utf8ToUtf16(GetParam().utf8), GetParam().utf16);
}

// Each ill-formed case gives one U+FFFD per maximal subpart; the byte that breaks a sequence is
// read again as the start of the next one.
INSTANTIATE_TEST_SUITE_P(
    Table, Utf8ToUtf16,
    testing::Values(Conversion{"Empty", "", u""},
                    Conversion{"Ascii", "Hello, world", u"Hello, world"},
                    Conversion{"TwoByte", "\xC3\xA9", u"\u00E9"},
                    Conversion{"ThreeByte", "\xE2\x82\xAC", u"\u20AC"},
                    Conversion{"FourByteBecomesSurrogatePair", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
                    Conversion{"HighestCodePoint", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
                    Conversion{"LastBeforeSurrogates", "\xED\x9F\xBF", u"\uD7FF"},
                    Conversion{"FirstAfterSurrogates", "\xEE\x80\x80", u"\uE000"},
                    Conversion{"NulIsKept", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
                    Conversion{"StrayContinuation", "a\x80z", u"a\uFFFDz"},
                    Conversion{"InvalidLeadBytes", "\xC0\xC1\xF5\xFF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                    Conversion{"OverlongTwoByte", "\xC0\xAF", u"\uFFFD\uFFFD"},
                    Conversion{"OverlongThreeByte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
                    Conversion{"OverlongFourByte", "\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                    Conversion{"EncodedSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                    Conversion{"AboveHighestCodePoint", "\xF4\x90\x80\x80",
                               u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                    Conversion{"TruncatedAtEnd", "ok\xE2\x82", u"ok\uFFFD"},
                    Conversion{"TruncatedBeforeAscii", "\xF0\x9F\x98z", u"\uFFFDz"},
                    Conversion{"TruncatedBeforeNewLead", "\xE2\x82\xC3\xA9", u"\uFFFD\u00E9"}),
    [](const testing::TestParamInfo<Conversion>& info) { return std::string(info.param.name); });

}  // namespace
