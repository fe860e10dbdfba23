#include "message_format.h"

#include <gtest/gtest.h>

namespace {

using cli::formatMessage;
using cli::OutputFormat;

TEST(MessageFormat, TextIsTheBytesAndANewline) {
    EXPECT_EQ(formatMessage("h\xC3\xA9", OutputFormat::Text), "h\xC3\xA9\n");
    EXPECT_EQ(formatMessage("", OutputFormat::Text), "\n");
}

TEST(MessageFormat, HexIsTwoLowercaseDigitsPerByte) {
    EXPECT_EQ(formatMessage(std::string("\x00\x0f\xa0\xff", 4), OutputFormat::Hex), "000fa0ff\n");
    EXPECT_EQ(formatMessage("", OutputFormat::Hex), "\n");
}

TEST(MessageFormat, RawCountsEveryByteSoNewlinesAndNulsSurvive) {
    EXPECT_EQ(formatMessage(std::string("a\nb\0c", 5), OutputFormat::Raw),
              std::string("5:a\nb\0c\n", 8));
    EXPECT_EQ(formatMessage("", OutputFormat::Raw), "0:\n");
}

}  // namespace
