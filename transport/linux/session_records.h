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
    SessionRecord(std::string agent, bool proxyAllowed)
        : HandleObject(handleKind), userAgent(std::move(agent)), useProxy(proxyAllowed) {}

    const std::string userAgent;  // UTF-8
    // WINHTTP_ACCESS_TYPE_DEFAULT_PROXY: the proxy the environment names, if any, is used.
    const bool useProxy;
};

class ConnectionRecord final : public HandleObject {
  public:
    static constexpr HandleKind handleKind = HandleKind::Connection;
    ConnectionRecord(const SessionRecord& session, std::string serverHost, std::uint16_t serverPort)
        : HandleObject(handleKind),
          userAgent(session.userAgent),
          useProxy(session.useProxy),
          host(std::move(serverHost)),
          port(serverPort) {}

    const std::string userAgent;  // UTF-8
    const bool useProxy;
    const std::string host;    // ASCII name or IP literal, IPv6 without brackets
    const std::uint16_t port;  // 0: the default port of the request's scheme
};

}  // namespace wsbridge::transport
