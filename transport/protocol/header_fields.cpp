#include "transport/protocol/header_fields.h"

#include <algorithm>
#include <cctype>

#include "transport/protocol/request_head.h"

namespace wsbridge::protocol {
namespace {

constexpr std::string_view tokenSymbols = "!#$%&'*+-.^_`|~";
constexpr unsigned char firstPrintable = 0x20;
constexpr unsigned char deleteByte = 0x7F;

bool isOptionalWhitespace(char character) {
    return character == ' ' || character == '\t';
}

bool isTokenCharacter(char character) {
    const auto byte = static_cast<unsigned char>(character);
    return std::isalnum(byte) || tokenSymbols.find(character) != std::string_view::npos;
}

}  // namespace

bool isToken(std::string_view text) {
    return !text.empty() && std::ranges::all_of(text, isTokenCharacter);
}

bool isFieldValue(std::string_view text) {
    return std::ranges::none_of(text, [](char character) {
        const auto byte = static_cast<unsigned char>(character);
        return (byte < firstPrintable && character != '\t') || byte == deleteByte;
    });
}

std::string_view trimWhitespace(std::string_view text) {
    while (!text.empty() && isOptionalWhitespace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isOptionalWhitespace(text.back())) text.remove_suffix(1);
    return text;
}

bool equalsIgnoringCase(std::string_view left, std::string_view right) {
    return std::ranges::equal(left, right, [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
}

std::vector<std::string_view> listElements(std::string_view list) {
    std::vector<std::string_view> elements;
    for (;;) {
        const std::size_t comma = list.find(',');
        elements.push_back(trimWhitespace(list.substr(0, comma)));
        if (comma == std::string_view::npos) return elements;
        list.remove_prefix(comma + 1);
    }
}

std::optional<std::vector<HeaderField>> parseHeaderLines(std::string_view text) {
    if (text.ends_with(lineEnd)) text.remove_suffix(lineEnd.size());
    std::vector<HeaderField> fields;
    for (;;) {
        const std::size_t end = text.find(lineEnd);
        const std::string_view line = text.substr(0, end);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimWhitespace(line.substr(colon + 1));
        if (!isToken(name) || !isFieldValue(value)) return std::nullopt;
        fields.push_back({std::string(name), std::string(value)});
        if (end == std::string_view::npos) return fields;
        text.remove_prefix(end + lineEnd.size());
    }
}

}  // namespace wsbridge::protocol
