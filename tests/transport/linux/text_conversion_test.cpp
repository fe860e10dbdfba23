#include <gtest/gtest.h>

#include <string>

#include "transport/winhttp_api.h"

namespace {

std::string toUtf8(const std::u16string& text) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\xff');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr),
              size);
    return out;
}

}  // namespace

TEST(TextConversionTest, ConvertsAsThePlatformDoesWithFlagsZero) {
    struct Row {
        std::u16string input;
        std::string expected;  // terminator included
    };
    const Row rows[] = {
        {u"", std::string("\0", 1)},
        {u"abc", std::string("abc\0", 4)},
        {u"\u00e9", std::string("\xc3\xa9\0", 3)},
        {u"\u20ac", std::string("\xe2\x82\xac\0", 4)},
        {u"\U0001F600", std::string("\xf0\x9f\x98\x80\0", 5)},
        {std::u16string(1, char16_t(0xD800)), std::string("\xef\xbf\xbd\0", 4)},
        {std::u16string(1, char16_t(0xDC00)) + u"a", std::string("\xef\xbf\xbd"
                                                                 "a\0",
                                                                 5)},
        {std::u16string{char16_t(0xD83D), u'x'}, std::string("\xef\xbf\xbdx\0", 5)},
    };
    for (const Row& row : rows) EXPECT_EQ(toUtf8(row.input), row.expected);
}

TEST(TextConversionTest, HonoursTheOutputLimit) {
    char out[8] = {};
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00e9\u00e9\u00e9", -1, out, 3, nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(out[3], 0) << "nothing written past the limit";
    EXPECT_EQ(std::string(out, 2), "\xc3\xa9") << "whole characters that fit";
    // A run of ASCII is cut at the limit the same way, one byte per unit.
    char ascii[8] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"abcdef", -1, ascii, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(ascii, 4), std::string("abc\0", 4));
    EXPECT_EQ(toUtf8(u"ab\u00e9cd\u20ac!"), std::string("ab\xc3\xa9"
                                                        "cd\xe2\x82\xac!\0",
                                                        11));
    // An explicit length converts exactly that many units, without a terminator.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"abc", 2, out, 8, nullptr, nullptr), 2);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00e9", -1, out, 8, nullptr, nullptr), 3);
    EXPECT_EQ(WideCharToMultiByte(1252, 0, u"a", -1, out, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}
