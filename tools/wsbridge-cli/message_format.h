// How a received message is written to standard output.
#pragma once

#include <string>
#include <string_view>

namespace cli {

enum class OutputFormat {
    Text,  // the bytes as received, then a newline
    Hex,   // two lowercase hex digits per byte, then a newline
    Raw,   // the byte count in decimal, ':', the bytes, then a newline; safe for any content
};

std::string formatMessage(std::string_view message, OutputFormat format);

}  // namespace cli
