#include "transport/linux/upgrade_request_handle.h"

#include <array>
#include <iterator>

#include "transport/linux/proxy_tunnel.h"
#include "transport/linux/random_bytes.h"
#include "transport/linux/stream_exchange.h"
#include "transport/linux/time_limits.h"
#include "transport/linux/tls_stream.h"
#include "transport/linux/websocket_channel.h"
#include "transport/linux/winhttp_mapping.h"
#include "transport/protocol/handshake_key.h"
#include "transport/protocol/upgrade_request.h"
#include "transport/protocol/upgrade_response.h"

namespace wsbridge::transport {
namespace {

inline constexpr std::size_t responseReadSize = std::size_t{16} * 1024;

}  // namespace

DWORD UpgradeRequestHandle::askForUpgrade() {
    std::lock_guard<std::mutex> lock(operationLock_);
    if (stage_ != Stage::Opened && stage_ != Stage::UpgradeAsked) return ERROR_INVALID_OPERATION;
    stage_ = Stage::UpgradeAsked;
    return ERROR_SUCCESS;
}

DWORD UpgradeRequestHandle::addHeaders(std::vector<protocol::HeaderField> fields) {
    std::lock_guard<std::mutex> lock(operationLock_);
    if (stage_ != Stage::Opened && stage_ != Stage::UpgradeAsked) return ERROR_INVALID_OPERATION;
    extraHeaders_.insert(extraHeaders_.end(), std::make_move_iterator(fields.begin()),
                         std::make_move_iterator(fields.end()));
    return ERROR_SUCCESS;
}

DWORD UpgradeRequestHandle::openStream() {
    ServerConnection connection = connectToServer(
        {target_.host, target_.port, target_.secure, target_.userAgent}, target_.useProxy, closed_);
    if (connection.error != ERROR_SUCCESS) return connection.error;
    tunnelRefusal_ = connection.refusal;
    if (tunnelRefusal_ != protocol::ProtocolError::None) return ERROR_SUCCESS;
    if (!target_.secure) {
        stream_ = makePlainStream(std::move(connection.socket), std::move(connection.readAhead));
        return ERROR_SUCCESS;
    }
    // TLS with the server at the tunnel's far end: SNI and the certificate are the server's.
    TlsStartResult tls = startTls(std::move(connection.socket), std::move(connection.readAhead),
                                  target_.host, closed_);
    stream_ = std::move(tls.stream);
    return tls.error;
}

DWORD UpgradeRequestHandle::send() {
    std::lock_guard<std::mutex> lock(operationLock_);
    // Only the WebSocket upgrade is implemented: a request must have asked for it.
    if (stage_ != Stage::UpgradeAsked) return ERROR_INVALID_OPERATION;
    stage_ = Stage::Failed;  // until every step below has succeeded
    std::optional<std::string> key = protocol::makeClientKey(transportRandom());
    if (!key) return ERROR_WINHTTP_INTERNAL_ERROR;
    clientKey_ = std::move(*key);
    // The host and user agent were checked, and the path escaped, when they were recorded; the
    // extra headers when they were added.
    const protocol::UpgradeTarget upgrade{target_.host, target_.port,      target_.secure,
                                          target_.path, target_.userAgent, extraHeaders_};
    const std::string request = protocol::buildUpgradeRequest(upgrade, clientKey_);
    if (const DWORD error = openStream(); error != ERROR_SUCCESS) return error;
    // A proxy that answered without opening a tunnel has given the response already: the
    // request is sent as far as it could go, and receiving reports the answer.
    if (tunnelRefusal_ == protocol::ProtocolError::None) {
        const DWORD error =
            writeWhole(*stream_, request, closed_, deadlineAfter(timeLimit::response));
        if (error != ERROR_SUCCESS) return error;
    }
    stage_ = Stage::Sent;
    return ERROR_SUCCESS;
}

DWORD UpgradeRequestHandle::receiveResponse() {
    std::lock_guard<std::mutex> lock(operationLock_);
    if (stage_ != Stage::Sent) return ERROR_INVALID_OPERATION;
    stage_ = Stage::Failed;
    if (tunnelRefusal_ != protocol::ProtocolError::None) {
        return platformErrorFor(tunnelRefusal_);
    }
    protocol::UpgradeResponseParser& parser =
        response_.emplace(clientKey_, protocol::offeredSubprotocols(extraHeaders_));
    const Deadline deadline = deadlineAfter(timeLimit::response);
    std::array<std::uint8_t, responseReadSize> chunk{};
    for (;;) {
        std::size_t got = 0;
        if (const DWORD error = readSome(*stream_, chunk, got, closed_, deadline);
            error != ERROR_SUCCESS) {
            return error;
        }
        const std::span<const std::uint8_t> input(chunk.data(), got);
        const protocol::ParseResult parsed = parser.feed(input);
        if (parsed.status == protocol::ParseStatus::NeedMore) continue;
        // An HTTP answer that is not an upgrade (a 404, a 101 with a wrong accept value) is
        // still a response: only completing the upgrade fails on it.
        if (parsed.status == protocol::ParseStatus::Failed && !parser.headerComplete()) {
            return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        }
        upgradeAccepted_ = parsed.status == protocol::ParseStatus::Done;
        if (upgradeAccepted_) {
            const auto frames = input.subspan(parsed.consumed);  // RFC 6455 4.1: may follow at once
            frameBytes_.assign(frames.begin(), frames.end());
        }
        stage_ = Stage::Answered;
        return ERROR_SUCCESS;
    }
}

DWORD UpgradeRequestHandle::queryHeader(std::string_view name, std::size_t index,
                                        std::string& value) {
    std::lock_guard<std::mutex> lock(operationLock_);
    if (!response_ || !response_->headerComplete()) return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    const std::optional<std::string_view> found = response_->fieldValue(name, index);
    if (!found) return ERROR_WINHTTP_HEADER_NOT_FOUND;
    value.assign(*found);
    return ERROR_SUCCESS;
}

std::shared_ptr<WebSocketChannel> UpgradeRequestHandle::completeUpgrade(DWORD& error) {
    std::lock_guard<std::mutex> lock(operationLock_);
    if (stage_ != Stage::Answered) {
        error = ERROR_INVALID_OPERATION;
        return nullptr;
    }
    stage_ = Stage::Failed;
    if (!upgradeAccepted_) {
        error = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        return nullptr;
    }
    auto channel = std::make_shared<WebSocketChannel>(std::move(stream_), std::move(frameBytes_));
    stage_ = Stage::Upgraded;
    error = ERROR_SUCCESS;
    return channel;
}

}  // namespace wsbridge::transport
