// The request handle: records the upgrade request when it is opened, then does the network
// work of the handshake (connect, through the proxy's tunnel when there is one, TLS, request,
// response) and hands the open stream to a new WebSocket handle.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transport/linux/byte_stream.h"
#include "transport/linux/handle_table.h"
#include "transport/linux/wake_event.h"
#include "transport/protocol/header_fields.h"
#include "transport/protocol/protocol_error.h"
#include "transport/protocol/upgrade_response.h"

namespace wsbridge::transport {

class WebSocketChannel;

struct RequestTarget {
    std::string userAgent;   // UTF-8
    std::string host;        // as the connection recorded it
    std::uint16_t port = 0;  // the effective port: 0 was replaced by the scheme's default
    bool secure = false;
    std::string path;      // the request target: the UTF-8 path, escaped once when it was recorded
    bool useProxy = true;  // the session may go through the proxy the environment names
};

class UpgradeRequestHandle final : public HandleObject {
  public:
    static constexpr HandleKind handleKind = HandleKind::Request;
    explicit UpgradeRequestHandle(RequestTarget target)
        : HandleObject(handleKind), target_(std::move(target)) {}

    // Each returns ERROR_SUCCESS or the error to set as the thread's last error.
    DWORD askForUpgrade();
    // Headers to send after ours; only before the request is sent. They must have passed
    // protocol::checkExtraHeaders().
    DWORD addHeaders(std::vector<protocol::HeaderField> fields);
    DWORD send();
    DWORD receiveResponse();
    // Once the response has been received: the value of its index-th header `name`, or
    // ERROR_WINHTTP_HEADER_NOT_FOUND.
    DWORD queryHeader(std::string_view name, std::size_t index, std::string& value);
    // The WebSocket channel, or null with error set (ERROR_WINHTTP_INVALID_SERVER_RESPONSE when
    // the answer was not a valid 101 upgrade).
    std::shared_ptr<WebSocketChannel> completeUpgrade(DWORD& error);

    void onHandleClosed() override { closed_.raise(); }

  private:
    enum class Stage { Opened, UpgradeAsked, Sent, Answered, Upgraded, Failed };

    DWORD openStream();

    std::mutex operationLock_;  // one operation at a time on a request
    const RequestTarget target_;
    Stage stage_ = Stage::Opened;
    WakeEvent closed_;
    std::unique_ptr<ByteStream> stream_;
    std::string clientKey_;
    std::vector<protocol::HeaderField> extraHeaders_;
    std::optional<protocol::UpgradeResponseParser> response_;
    // The proxy's answer that opened no tunnel; it stands for the response.
    protocol::ProtocolError tunnelRefusal_ = protocol::ProtocolError::None;
    bool upgradeAccepted_ = false;
    std::vector<std::uint8_t> frameBytes_;  // what followed the response's header block
};

}  // namespace wsbridge::transport
