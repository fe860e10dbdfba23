// UTF-8 boundary cases (RFC 3629 3 and 4), checked whole and with the bytes cut at every point,
// since the decoder feeds the validator piece by piece.
#include "transport/protocol/utf8_validator.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/transport/protocol/protocol_test_support.h"

namespace wsbridge::protocol::testing {
namespace {

struct Utf8Case {
    const char* name;
    std::string bytes;
    bool valid;
};

const Utf8Case utf8Cases[] = {
    {"empty", "", true},
    {"ascii", "Hello, world", true},
    {"nul is a character", std::string("a\0b", 3), true},
    {"two-byte lowest U+0080", "\xC2\x80", true},
    {"two-byte highest U+07FF", "\xDF\xBF", true},
    {"three-byte lowest U+0800", "\xE0\xA0\x80", true},
    {"last before surrogates U+D7FF", "\xED\x9F\xBF", true},
    {"first after surrogates U+E000", "\xEE\x80\x80", true},
    {"U+FFFF", "\xEF\xBF\xBF", true},
    {"four-byte lowest U+10000", "\xF0\x90\x80\x80", true},
    {"highest U+10FFFF", "\xF4\x8F\xBF\xBF", true},
    {"mixed", "a\xC3\xA9z\xE2\x82\xAC\xF0\x9F\x98\x80!", true},
    {"lone continuation", "\x80", false},
    {"continuation after ascii", "a\xBF", false},
    {"overlong C0 80", "\xC0\x80", false},
    {"overlong C1 BF", "\xC1\xBF", false},
    {"overlong three-byte", "\xE0\x9F\xBF", false},
    {"overlong four-byte", "\xF0\x8F\xBF\xBF", false},
    {"surrogate ED A0 80", "\xED\xA0\x80", false},
    {"surrogate ED BF BF", "\xED\xBF\xBF", false},
    {"above U+10FFFF", "\xF4\x90\x80\x80", false},
    {"lead F5", "\xF5\x80\x80\x80", false},
    {"lead FF", "\xFF", false},
    {"cut two-byte", "\xC3", false},
    {"cut four-byte", "\xF0\x9F\x98", false},
    {"lead where continuation due", "\xE2\x82\xE2\x82\xAC", false},
    {"ascii where continuation due",
     "\xC3"
     "a",
     false},
    {"bad byte after a long ascii run", std::string(100, 'a') + "\xFF", false},
    {"bad byte inside a long ascii run", std::string(37, 'a') + "\x80" + std::string(40, 'b'),
     false},
};

bool validInTwoPieces(const std::string& bytes, std::size_t cut) {
    const Bytes all = bytesOf(bytes);
    Utf8Validator validator;
    const bool first = validator.feed(std::span(all).first(cut));
    const bool second = validator.feed(std::span(all).subspan(cut));
    return first && second && validator.complete();
}

TEST(Utf8Validator, BoundaryCasesWholeAndCutAtEveryPoint) {
    for (const Utf8Case& item : utf8Cases) {
        SCOPED_TRACE(item.name);
        EXPECT_EQ(isValidUtf8(bytesOf(item.bytes)), item.valid);
        for (std::size_t cut = 0; cut <= item.bytes.size(); ++cut) {
            EXPECT_EQ(validInTwoPieces(item.bytes, cut), item.valid) << "cut at " << cut;
        }
    }
}

TEST(Utf8Validator, CompleteOnlyAtACodePointBoundary) {
    Utf8Validator validator;
    EXPECT_TRUE(validator.feed(bytesOf("\xF0\x9F")));
    EXPECT_FALSE(validator.complete());
    EXPECT_FALSE(validator.failed());
    EXPECT_TRUE(validator.feed(bytesOf("\x98")));
    EXPECT_TRUE(validator.feed(bytesOf("\x80")));
    EXPECT_TRUE(validator.complete());
}

TEST(Utf8Validator, FailureStaysUntilReset) {
    Utf8Validator validator;
    EXPECT_FALSE(validator.feed(bytesOf("\xFF")));
    EXPECT_FALSE(validator.feed(bytesOf("fine")));
    EXPECT_FALSE(validator.complete());
    validator.reset();
    EXPECT_TRUE(validator.feed(bytesOf("fine")));
    EXPECT_TRUE(validator.complete());
}

// Every code point, encoded by a simple reference encoder, must pass, and every surrogate fail;
// this walks all lead/continuation ranges the table above only samples.
std::string encodeCodePoint(std::uint32_t point) {
    std::string out;
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (point >> 18));
        out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
    return out;
}

TEST(Utf8Validator, EveryScalarValuePassesAndEverySurrogateFails) {
    std::size_t wrong = 0;
    for (std::uint32_t point = 0; point <= 0x10FFFF; ++point) {
        const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
        if (isValidUtf8(bytesOf(encodeCodePoint(point))) == surrogate) ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(Utf8Validator, AgreesWithAReferenceOnRandomBytes) {
    // Random short strings from a byte alphabet rich in lead and boundary bytes, against a
    // decoder written the slow obvious way.
    const auto reference = [](const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            const auto lead = static_cast<std::uint8_t>(bytes[at]);
            const int length = lead < 0x80                    ? 1
                               : lead >= 0xC2 && lead <= 0xDF ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
            if (length == 0 || at + length > bytes.size()) return false;
            std::uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
            for (int i = 1; i < length; ++i) {
                const auto next = static_cast<std::uint8_t>(bytes[at + i]);
                if ((next & 0xC0) != 0x80) return false;
                point = (point << 6) | (next & 0x3F);
            }
            const std::uint32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
            if (point < lowest[length] || point > 0x10FFFF) return false;
            if (point >= 0xD800 && point <= 0xDFFF) return false;
            at += length;
        }
        return true;
    };
    const std::uint8_t alphabet[] = {'a',  0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                     0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEE,
                                     0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    std::mt19937 random(20261210);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(alphabet) - 1);
    std::uniform_int_distribution<std::size_t> length(0, 8);
    for (int round = 0; round < 200'000; ++round) {
        std::string bytes;
        for (std::size_t i = length(random); i > 0; --i)
            bytes += static_cast<char>(alphabet[pick(random)]);
        ASSERT_EQ(isValidUtf8(bytesOf(bytes)), reference(bytes)) << ::testing::PrintToString(bytes);
    }
}

}  // namespace
}  // namespace wsbridge::protocol::testing
