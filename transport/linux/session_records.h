// The session and connection handles: what WinHttpOpen and WinHttpConnect recorded. Neither does
// any network work.
#pragma once

#include <cstdint>
#include <string>

#include "transport/linux/handle_table.h"

namespace wsbridge::transport {

class SessionRecord final : public HandleObject {
  public:
    static constexpr HandleKind handleKind = HandleKind::Session;
    explicit SessionRecord(std::string agent)
        : HandleObject(handleKind), userAgent(std::move(agent)) {}

    const std::string userAgent;  // UTF-8
};

class ConnectionRecord final : public HandleObject {
  public:
    static constexpr HandleKind handleKind = HandleKind::Connection;
    ConnectionRecord(std::string agent, std::string serverHost, std::uint16_t serverPort)
        : HandleObject(handleKind),
          userAgent(std::move(agent)),
          host(std::move(serverHost)),
          port(serverPort) {}

    const std::string userAgent;  // UTF-8
    const std::string host;       // ASCII name or IP literal, IPv6 without brackets
    const std::uint16_t port;     // 0: the default port of the request's scheme
};

}  // namespace wsbridge::transport
