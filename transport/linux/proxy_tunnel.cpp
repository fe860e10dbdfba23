#include "transport/linux/proxy_tunnel.h"

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "transport/linux/proxy_environment.h"
#include "transport/linux/stream_exchange.h"
#include "transport/linux/tcp_connect.h"
#include "transport/linux/time_limits.h"
#include "transport/protocol/connect_request.h"
#include "transport/protocol/connect_response.h"

namespace wsbridge::transport {
namespace {

// Reads of the proxy's answer; what a read brings beyond the answer's head is kept for the next
// layer, so the size only decides how many reads a long head takes.
inline constexpr std::size_t answerReadSize = std::size_t{4} * 1024;

ServerConnection failed(DWORD error) {
    ServerConnection connection;
    connection.error = error;
    return connection;
}

ServerConnection throughTunnel(const ProxyServer& proxy, const ServerAddress& server,
                               const WakeEvent& cancel) {
    TcpConnectResult tcp = connectTcp(proxy.host, proxy.port, cancel);
    if (tcp.error != ERROR_SUCCESS) return failed(tcp.error);
    std::optional<std::string_view> credentials;
    if (proxy.credentials) credentials = *proxy.credentials;
    // The server's host and the user agent were checked when they were recorded.
    const std::string request =
        protocol::buildConnectRequest({server.host, server.port, server.userAgent, credentials});

    const std::unique_ptr<ByteStream> stream = makePlainStream(std::move(tcp.socket));
    const Deadline deadline = deadlineAfter(timeLimit::response);
    if (const DWORD error = writeWhole(*stream, request, cancel, deadline);
        error != ERROR_SUCCESS) {
        return failed(error);
    }
    protocol::ConnectResponseParser parser;
    std::array<std::uint8_t, answerReadSize> chunk{};
    for (;;) {  // each pass reads at least one byte, until the deadline
        std::size_t got = 0;
        if (const DWORD error = readSome(*stream, chunk, got, cancel, deadline);
            error != ERROR_SUCCESS) {
            return failed(error);
        }
        const std::span<const std::uint8_t> input(chunk.data(), got);
        const protocol::ParseResult parsed = parser.feed(input);
        if (parsed.status == protocol::ParseStatus::NeedMore) continue;
        ServerConnection connection;
        if (parsed.status == protocol::ParseStatus::Failed) {
            connection.refusal = parsed.error;
            return connection;
        }
        const auto rest = input.subspan(parsed.consumed);
        connection.readAhead = ReadAhead(std::vector<std::uint8_t>(rest.begin(), rest.end()));
        connection.socket = stream->releaseSocket();
        return connection;
    }
}

}  // namespace

ServerConnection connectToServer(const ServerAddress& server, bool useProxy,
                                 const WakeEvent& cancel) {
    if (useProxy) {
        const ProxyChoice choice = chooseProxy(readProxyEnvironment(), server.secure, server.host);
        if (choice.error != ERROR_SUCCESS) return failed(choice.error);
        if (choice.proxy) return throughTunnel(*choice.proxy, server, cancel);
    }
    TcpConnectResult tcp = connectTcp(server.host, server.port, cancel);
    ServerConnection connection;
    connection.error = tcp.error;
    connection.socket = std::move(tcp.socket);
    return connection;
}

}  // namespace wsbridge::transport
