// Header fields: the rules for names and values, list elements, and extra request headers given
// as CR LF separated lines.
#include "transport/protocol/header_fields.h"

#include <gtest/gtest.h>

namespace wsbridge::protocol::testing {
namespace {

using Fields = std::vector<HeaderField>;

TEST(HeaderFields, LinesBecomeFieldsOrAreRefusedWhole) {
    struct Case {
        std::string_view text;
        std::optional<Fields> expected;
    };
    const Case cases[] = {
        {"A: b", Fields{{"A", "b"}}},
        {"A: b\r\n", Fields{{"A", "b"}}},
        {"A:b\r\nC-D:  e f \t", Fields{{"A", "b"}, {"C-D", "e f"}}},
        {"X-Empty:", Fields{{"X-Empty", ""}}},
        {"A: b: c", Fields{{"A", "b: c"}}},
        {"", std::nullopt},
        {"\r\n", std::nullopt},
        {"A", std::nullopt},
        {": b", std::nullopt},
        {"A : b", std::nullopt},
        {"A: b\r\n\r\n", std::nullopt},
        {"A: b\r\n\r\nC: d", std::nullopt},
        {"A: b\nC: d", std::nullopt},
        {"A: b\rC: d", std::nullopt},
        {std::string_view("A: b\0c", 6), std::nullopt},
        {"A: b\r\nbad line", std::nullopt},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(item.text)));
        EXPECT_EQ(parseHeaderLines(item.text), item.expected);
    }
}

TEST(HeaderFields, TokensValuesAndLists) {
    EXPECT_TRUE(isToken("Sec-WebSocket-Protocol"));
    EXPECT_TRUE(isToken("!#$%&'*+-.^_`|~09azAZ"));
    for (const std::string_view bad : {"", "a b", "a:b", "a,b", "a\"b", "a/b", "\xC3\xA9"}) {
        EXPECT_FALSE(isToken(bad)) << bad;
    }
    EXPECT_TRUE(isFieldValue("a\tb \xC3\xA9"));  // tab, space and obs-text
    EXPECT_FALSE(isFieldValue("a\rb"));
    EXPECT_FALSE(isFieldValue("a\x7F"));
    EXPECT_EQ(listElements(" chat ,\tsuperchat,,x "),
              (std::vector<std::string_view>{"chat", "superchat", "", "x"}));
    EXPECT_TRUE(equalsIgnoringCase("Sec-WebSocket-Key", "sec-websocket-KEY"));
    EXPECT_FALSE(equalsIgnoringCase("Host", "Hosts"));
}

}  // namespace
}  // namespace wsbridge::protocol::testing
