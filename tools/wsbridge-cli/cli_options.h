// The command line of wsbridge-cli, parsed into options or a one-line error.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "message_format.h"
#include "server_url.h"

namespace cli {

inline constexpr std::size_t defaultMaxMessageBytes = 16 * 1024 * 1024;

struct CliOptions {
    ServerUrl url;
    std::string libraryPath;  // empty: the library next to the executable
    OutputFormat format = OutputFormat::Text;
    std::vector<std::string> sends;    // --send texts, sent in order once connected
    std::vector<std::string> headers;  // --header lines, "Name: value", for the upgrade request
    std::optional<long> expectedMessages;
    std::optional<std::chrono::milliseconds> timeout;
    std::size_t maxMessageBytes = defaultMaxMessageBytes;
};

struct ParsedCommandLine {
    std::optional<CliOptions> options;  // empty on an error or when help was asked for
    bool helpRequested = false;
    std::string error;  // one line, without the program name
};

// arguments excludes the program name.
ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The one-line synopsis, shown after a command-line error.
std::string usageLine();

// The full help, for --help.
std::string usageText();

}  // namespace cli
