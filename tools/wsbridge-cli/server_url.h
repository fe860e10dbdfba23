// Parsing the one URL the command line names: ws://host[:port]/path or wss://host[:port]/path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

struct ServerUrl {
    std::string host;  // an IPv6 literal without its brackets
    std::int32_t port = 0;
    std::string path;  // starts with '/', query included
    bool secure = false;
};

struct UrlParseResult {
    std::optional<ServerUrl> url;
    std::string error;  // set when url is empty
};

UrlParseResult parseServerUrl(std::string_view text);

}  // namespace cli
