// HTTP header fields as the upgrade request and its response carry them (RFC 9110 5, RFC 9112
// 5): the rules for names and values, and the extra request headers a caller hands over as text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wsbridge::protocol {

struct HeaderField {
    std::string name;
    std::string value;  // without the whitespace around it

    bool operator==(const HeaderField&) const = default;
};

// RFC 9110 5.6.2: a non-empty run of tchar.
bool isToken(std::string_view text);

// RFC 9110 5.5: no control character but tab (so no CR, LF or NUL that could end the line).
bool isFieldValue(std::string_view text);

// Space and horizontal tab (RFC 9110 5.6.3) taken off both ends.
std::string_view trimWhitespace(std::string_view text);

bool equalsIgnoringCase(std::string_view left, std::string_view right);

// RFC 9110 5.6.1: the elements of a comma-separated list, each trimmed; empty ones included.
std::vector<std::string_view> listElements(std::string_view list);

// Lines "Name: value" separated by CR LF, with an optional final CR LF. Nullopt when a line is
// not a valid field (no colon, a name that is not a token, a value with a control character).
std::optional<std::vector<HeaderField>> parseHeaderLines(std::string_view text);

}  // namespace wsbridge::protocol
