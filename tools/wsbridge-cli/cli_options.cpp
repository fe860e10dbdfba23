#include "cli_options.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace cli {
namespace {

inline constexpr double longestTimeoutSeconds = 24 * 60 * 60;
inline constexpr long mostExpectedMessages = 1000000000;
inline constexpr std::size_t largestMaxMessageBytes = 0x7FFFFFFE;  // the read's capacity is int32

bool isDecimal(const std::string& text, bool allowPoint) {
    if (text.empty()) return false;
    bool seenDigit = false;
    bool seenPoint = false;
    for (const char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            seenDigit = true;
        } else if (c == '.' && allowPoint && !seenPoint) {
            seenPoint = true;
        } else {
            return false;
        }
    }
    return seenDigit;
}

std::optional<long> parseCount(const std::string& text, long lowest, long highest) {
    if (!isDecimal(text, false) || text.size() > 10) return std::nullopt;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < lowest || value > highest) return std::nullopt;
    return value;
}

std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text) {
    if (!isDecimal(text, true) || text.size() > 12) return std::nullopt;
    const double seconds = std::strtod(text.c_str(), nullptr);
    if (!(seconds > 0) || seconds > longestTimeoutSeconds) return std::nullopt;
    const auto milliseconds = static_cast<long long>(std::ceil(seconds * 1000));
    return std::chrono::milliseconds(milliseconds);
}

class Parser {
  public:
    explicit Parser(const std::vector<std::string>& arguments) : arguments_(arguments) {}

    ParsedCommandLine run() {
        std::optional<std::string> urlText;
        bool optionsEnded = false;
        for (index_ = 0; index_ < arguments_.size() && error_.empty() && !help_; ++index_) {
            const std::string& argument = arguments_[index_];
            if (!optionsEnded && argument == "--") {
                optionsEnded = true;
            } else if (!optionsEnded && argument.size() > 1 && argument.front() == '-') {
                handleOption(argument);
            } else if (urlText) {
                error_ = "more than one URL given ('" + argument + "')";
            } else {
                urlText = argument;
            }
        }
        ParsedCommandLine result;
        result.helpRequested = help_;
        if (help_) return result;
        if (error_.empty() && !urlText) error_ = "no URL given";
        if (error_.empty()) {
            UrlParseResult url = parseServerUrl(*urlText);
            if (url.url) {
                options_.url = std::move(*url.url);
            } else {
                error_ = "bad URL '" + *urlText + "': " + url.error;
            }
        }
        if (error_.empty() && hex_ && raw_) error_ = "--hex and --raw cannot be combined";
        if (!error_.empty()) {
            result.error = error_;
            return result;
        }
        if (hex_) options_.format = OutputFormat::Hex;
        if (raw_) options_.format = OutputFormat::Raw;
        result.options = std::move(options_);
        return result;
    }

  private:
    // Splits "--name=value" so that both spellings of an option with a value work.
    void handleOption(const std::string& argument) {
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        std::optional<std::string> inlineValue;
        if (equals != std::string::npos) inlineValue = argument.substr(equals + 1);

        if (name == "--help" || name == "-h") {
            help_ = true;
        } else if (name == "--hex" || name == "--raw") {
            if (inlineValue) {
                error_ = name + " takes no value";
                return;
            }
            (name == "--hex" ? hex_ : raw_) = true;
        } else if (name == "--send" || name == "--header" || name == "--expect" ||
                   name == "--timeout" || name == "--library" || name == "--max-size") {
            const std::optional<std::string> value = takeValue(name, inlineValue);
            if (value) applyValue(name, *value);
        } else {
            error_ = "unknown option '" + name + "'";
        }
    }

    std::optional<std::string> takeValue(const std::string& name,
                                         const std::optional<std::string>& inlineValue) {
        if (inlineValue) return inlineValue;
        if (index_ + 1 >= arguments_.size()) {
            error_ = name + " needs a value";
            return std::nullopt;
        }
        return arguments_[++index_];
    }

    void applyValue(const std::string& name, const std::string& value) {
        if (name == "--send") {
            options_.sends.push_back(value);
        } else if (name == "--header") {
            // One line each: a line break would smuggle in another header.
            if (value.find_first_of("\r\n") != std::string::npos) {
                error_ = "--header takes one 'Name: value' line";
            }
            options_.headers.push_back(value);
        } else if (name == "--library") {
            if (value.empty()) error_ = "--library needs a path";
            options_.libraryPath = value;
        } else if (name == "--expect") {
            options_.expectedMessages = parseCount(value, 0, mostExpectedMessages);
            if (!options_.expectedMessages)
                error_ = "--expect needs a message count, not '" + value + "'";
        } else if (name == "--timeout") {
            options_.timeout = parseSeconds(value);
            if (!options_.timeout)
                error_ = "--timeout needs seconds above 0 (up to a day), not '" + value + "'";
        } else if (name == "--max-size") {
            const std::optional<long> bytes =
                parseCount(value, 1, static_cast<long>(largestMaxMessageBytes));
            if (bytes) {
                options_.maxMessageBytes = static_cast<std::size_t>(*bytes);
            } else {
                error_ = "--max-size needs a byte count from 1 to 2147483646, not '" + value + "'";
            }
        }
    }

    const std::vector<std::string>& arguments_;
    std::size_t index_ = 0;
    CliOptions options_;
    bool hex_ = false;
    bool raw_ = false;
    bool help_ = false;
    std::string error_;
};

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    return Parser(arguments).run();
}

std::string usageLine() {
    return "usage: wsbridge-cli [options] ws://host[:port]/path | wss://host[:port]/path\n";
}

std::string usageText() {
    return usageLine() + R"(
Connects through the wsbridge library, sends each line of standard input (and each --send text)
as a text message, and prints each received message on its own line. Status changes and the
library's status text go to standard error, and so does the close code (with the server's
reason) once the connection has ended.
  --send TEXT      send TEXT once connected, before any input line; may be repeated
  --header 'NAME: VALUE'
                   add this header to the upgrade request (e.g. an Authorization token or a
                   Sec-WebSocket-Protocol offer); may be repeated
  --expect N       exit as soon as N messages have been received
  --timeout S      give up after S seconds (fractions allowed); without it the handshake may take
                   10 s and, once input has ended, the expected messages 10 s more
  --hex            print each message as hex digits
  --raw            print each message as its byte count, ':', then its bytes
  --max-size BYTES longest message printed whole (default 16777216); longer ones are cut
  --library PATH   the wsbridge library to load (default: the one next to this program)
  -h, --help       show this text
An IPv6 address goes in brackets: ws://[::1]:8080/chat. Without --expect the program ends once
input has ended and no message has arrived for 1 s.
Exit codes: 0 done, 1 handshake failed, 2 bad command line (or headers the library refused),
            3 connection ended early, 4 timed out, 5 library not loadable, 6 a message could
            not be sent
)";
}

}  // namespace cli
