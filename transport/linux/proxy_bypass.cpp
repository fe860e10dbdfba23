#include "transport/linux/proxy_bypass.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

namespace wsbridge::transport {
namespace {

constexpr std::string_view localhostName = "localhost";
constexpr unsigned bitsPerByte = 8;
constexpr std::uint8_t ipv4LoopbackNetwork = 127;  // RFC 1122 3.2.1.3: 127.0.0.0/8

// An IP address in network order: 4 bytes for IPv4, 16 for IPv6.
struct IpAddress {
    std::array<std::uint8_t, 16> bytes{};
    std::size_t size = 0;
};

std::optional<IpAddress> parseAddress(std::string_view text) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    const std::string terminated(text);
    IpAddress address;
    if (::inet_pton(AF_INET, terminated.c_str(), address.bytes.data()) == 1) {
        address.size = 4;
        return address;
    }
    if (::inet_pton(AF_INET6, terminated.c_str(), address.bytes.data()) == 1) {
        address.size = 16;
        return address;
    }
    return std::nullopt;
}

// ::ffff:a.b.c.d (RFC 4291 2.5.5.2) as the IPv4 address it stands for.
IpAddress unmapped(const IpAddress& address) {
    constexpr std::array<std::uint8_t, 12> mappedPrefix{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (address.size != 16 ||
        !std::equal(mappedPrefix.begin(), mappedPrefix.end(), address.bytes.begin())) {
        return address;
    }
    IpAddress v4;
    std::copy_n(address.bytes.begin() + mappedPrefix.size(), 4, v4.bytes.begin());
    v4.size = 4;
    return v4;
}

// Do the first `bits` bits of both addresses agree?
bool samePrefix(const IpAddress& a, const IpAddress& b, unsigned bits) {
    if (a.size != b.size || bits > a.size * bitsPerByte) return false;
    const std::size_t wholeBytes = bits / bitsPerByte;
    if (!std::equal(a.bytes.begin(), a.bytes.begin() + wholeBytes, b.bytes.begin())) return false;
    const unsigned restBits = bits % bitsPerByte;
    if (restBits == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xFF << (bitsPerByte - restBits));
    return (a.bytes[wholeBytes] & mask) == (b.bytes[wholeBytes] & mask);
}

std::string lowerCase(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lowered;
}

std::string_view withoutTrailingDot(std::string_view name) {
    if (name.ends_with('.')) name.remove_suffix(1);
    return name;
}

// `name` is `domain` or a name under it; both lower case, without a trailing dot.
bool isUnderDomain(std::string_view name, std::string_view domain) {
    if (domain.empty() || !name.ends_with(domain)) return false;
    return name.size() == domain.size() || name[name.size() - domain.size() - 1] == '.';
}

std::optional<unsigned> parsePrefixBits(std::string_view text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    unsigned bits = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        bits = bits * 10 + static_cast<unsigned>(c - '0');
    }
    return bits;
}

bool entryMatches(std::string_view entry, std::string_view host,
                  const std::optional<IpAddress>& hostAddress) {
    if (entry == "*") return true;
    if (const std::size_t slash = entry.find('/'); slash != std::string_view::npos) {
        const std::optional<IpAddress> network = parseAddress(entry.substr(0, slash));
        const std::optional<unsigned> bits = parsePrefixBits(entry.substr(slash + 1));
        return network && bits && hostAddress &&
               samePrefix(unmapped(*hostAddress), unmapped(*network), *bits);
    }
    if (const std::optional<IpAddress> address = parseAddress(entry)) {
        const IpAddress wanted = unmapped(*address);
        return hostAddress && samePrefix(unmapped(*hostAddress), wanted, wanted.size * bitsPerByte);
    }
    if (hostAddress) return false;  // a name entry never matches an address
    if (entry.starts_with("*.")) entry.remove_prefix(1);
    if (entry.starts_with('.')) entry.remove_prefix(1);
    return isUnderDomain(lowerCase(withoutTrailingDot(host)), lowerCase(withoutTrailingDot(entry)));
}

std::string_view trimSpaces(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

bool isLoopbackHost(std::string_view host) {
    if (const std::optional<IpAddress> address = parseAddress(host)) {
        const IpAddress plain = unmapped(*address);
        if (plain.size == 4) return plain.bytes[0] == ipv4LoopbackNetwork;
        IpAddress loopback6;  // ::1
        loopback6.size = 16;
        loopback6.bytes[15] = 1;
        return samePrefix(plain, loopback6, 16 * bitsPerByte);
    }
    return isUnderDomain(lowerCase(withoutTrailingDot(host)), localhostName);
}

bool isListedInNoProxy(std::string_view list, std::string_view host) {
    const std::optional<IpAddress> hostAddress = parseAddress(host);
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const std::string_view entry = trimSpaces(list.substr(0, comma));
        if (!entry.empty() && entryMatches(entry, host, hostAddress)) return true;
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    }
    return false;
}

}  // namespace wsbridge::transport
