// Turns a request path into the request-target of the upgrade request's request line.
#pragma once

#include <string>
#include <string_view>

namespace wsbridge::protocol {

// `path` is UTF-8 (the transport converts the caller's UTF-16 path with CP_UTF8 first).
// An empty path, or one that does not start with '/', gets a leading '/'. Control characters
// (CR and LF among them), space, DEL, every byte above 0x7F and the characters " # < > [ \ ] ^ {
// | } ` are sent as %XX (upper-case hex); '%' itself is left alone, so a path that is already
// escaped stays as it is. The result never holds a byte that could end the request line.
std::string escapeRequestPath(std::string_view path);

}  // namespace wsbridge::protocol
