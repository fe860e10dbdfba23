#include "cli_options.h"

#include <gtest/gtest.h>

namespace {

using Arguments = std::vector<std::string>;

cli::CliOptions parsed(const Arguments& arguments) {
    const cli::ParsedCommandLine result = cli::parseCommandLine(arguments);
    EXPECT_TRUE(result.options) << result.error;
    return result.options.value_or(cli::CliOptions{});
}

TEST(CliOptions, DefaultsWithJustAUrl) {
    const cli::CliOptions options = parsed({"ws://localhost:9000/x"});
    EXPECT_EQ(options.url.host, "localhost");
    EXPECT_EQ(options.url.port, 9000);
    EXPECT_EQ(options.format, cli::OutputFormat::Text);
    EXPECT_TRUE(options.sends.empty());
    EXPECT_FALSE(options.expectedMessages);
    EXPECT_FALSE(options.timeout);
    EXPECT_TRUE(options.libraryPath.empty());
    EXPECT_EQ(options.maxMessageBytes, cli::defaultMaxMessageBytes);
}

TEST(CliOptions, EveryOptionInBothSpellings) {
    const cli::CliOptions options =
        parsed({"--send", "one", "--send=two", "--expect", "3", "--timeout=2.5", "--hex",
                "--library", "/tmp/lib.so", "--max-size=100", "ws://h/"});
    EXPECT_EQ(options.sends, (Arguments{"one", "two"}));
    EXPECT_EQ(options.expectedMessages, 3);
    EXPECT_EQ(options.timeout, std::chrono::milliseconds(2500));
    EXPECT_EQ(options.format, cli::OutputFormat::Hex);
    EXPECT_EQ(options.libraryPath, "/tmp/lib.so");
    EXPECT_EQ(options.maxMessageBytes, 100u);
}

TEST(CliOptions, ValuesMayLookLikeOptionsAndTextAfterDoubleDashIsTheUrl) {
    const cli::CliOptions options = parsed({"--send", "--hex", "--raw", "--", "ws://h/"});
    EXPECT_EQ(options.sends, Arguments{"--hex"});
    EXPECT_EQ(options.format, cli::OutputFormat::Raw);
    EXPECT_EQ(parsed({"--send", "", "--expect", "0", "ws://h"}).expectedMessages, 0);
}

TEST(CliOptions, HeadersAreKeptInOrderOneLineEach) {
    EXPECT_EQ(parsed({"--header", "A: 1", "--header=B: 2", "ws://h/"}).headers,
              (Arguments{"A: 1", "B: 2"}));
    EXPECT_TRUE(parsed({"ws://h/"}).headers.empty());
    const cli::ParsedCommandLine split =
        cli::parseCommandLine({"--header", "A: 1\r\nB: 2", "ws://h/"});
    EXPECT_FALSE(split.options);
    EXPECT_NE(split.error.find("--header takes one"), std::string::npos) << split.error;
}

TEST(CliOptions, HelpWinsOverEverythingElse) {
    for (const Arguments& arguments :
         {Arguments{"--help"}, Arguments{"-h", "not-a-url"}, Arguments{"ws://h/", "--help"}}) {
        const cli::ParsedCommandLine result = cli::parseCommandLine(arguments);
        EXPECT_TRUE(result.helpRequested);
        EXPECT_FALSE(result.options);
    }
}

struct BadCommandLine {
    Arguments arguments;
    const char* reason;
};

void PrintTo(const BadCommandLine& commandLine, std::ostream* out) {
    for (const std::string& argument : commandLine.arguments) *out << "'" << argument << "' ";
}

class CliOptionsRejects : public testing::TestWithParam<BadCommandLine> {};

TEST_P(CliOptionsRejects, WithOneLineNamingTheProblem) {
    const cli::ParsedCommandLine result = cli::parseCommandLine(GetParam().arguments);
    EXPECT_FALSE(result.options);
    EXPECT_FALSE(result.helpRequested);
    EXPECT_NE(result.error.find(GetParam().reason), std::string::npos) << result.error;
    EXPECT_EQ(result.error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliOptionsRejects,
    testing::Values(BadCommandLine{{}, "no URL"}, BadCommandLine{{"--hex"}, "no URL"},
                    BadCommandLine{{"ws://a/", "ws://b/"}, "more than one URL"},
                    BadCommandLine{{"http://a/"}, "bad URL 'http://a/'"},
                    BadCommandLine{{"--frobnicate", "ws://a/"}, "unknown option '--frobnicate'"},
                    BadCommandLine{{"ws://a/", "--send"}, "--send needs a value"},
                    BadCommandLine{{"--hex", "--raw", "ws://a/"}, "cannot be combined"},
                    BadCommandLine{{"--hex=1", "ws://a/"}, "takes no value"},
                    BadCommandLine{{"--expect", "-1", "ws://a/"}, "--expect needs"},
                    BadCommandLine{{"--expect", "2x", "ws://a/"}, "--expect needs"},
                    BadCommandLine{{"--expect", "99999999999", "ws://a/"}, "--expect needs"},
                    BadCommandLine{{"--timeout", "0", "ws://a/"}, "--timeout needs"},
                    BadCommandLine{{"--timeout", "1e3", "ws://a/"}, "--timeout needs"},
                    BadCommandLine{{"--timeout", ".", "ws://a/"}, "--timeout needs"},
                    BadCommandLine{{"--timeout", "86401", "ws://a/"}, "--timeout needs"},
                    BadCommandLine{{"--max-size", "0", "ws://a/"}, "--max-size needs"},
                    BadCommandLine{{"--library=", "ws://a/"}, "--library needs a path"}));

}  // namespace
