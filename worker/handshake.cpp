// The first half of the worker: open a session, connect, send the upgrade request and complete
// the WebSocket upgrade, with a fixed text for each step that can fail.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/bridge_state.h"
#include "bridge/status_texts.h"
#include "worker/connection_worker.h"

namespace wsbridge {
namespace {

// Owns one transport handle until it is closed or released for publishing.
class ScopedHandle {
  public:
    explicit ScopedHandle(HINTERNET handle = nullptr) : handle_(handle) {}
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle() { reset(); }

    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    HINTERNET release() { return std::exchange(handle_, nullptr); }
    void reset() {
        if (handle_) WinHttpCloseHandle(std::exchange(handle_, nullptr));
    }

  private:
    HINTERNET handle_;
};

// Room for the host name in the ANSI code page: at most 127 bytes and a terminator.
inline constexpr int hostTextSize = 128;
inline constexpr int sendFailedTextSize = 256;

void recordSendRequestFailure(const Utf16Text& host) {
    const DWORD error = GetLastError();  // first, before any other call can change it
    char hostText[hostTextSize] = {};
    // Its result is ignored: whatever fits in 127 bytes is shown, and the last byte stays 0.
    WideCharToMultiByte(CP_ACP, 0, host.c_str(), -1, hostText, hostTextSize - 1, nullptr, nullptr);
    char text[sendFailedTextSize];
    std::snprintf(text, sizeof text, statusText::sendRequestFailedFormat, hostText,
                  static_cast<unsigned long>(error));
    setLastErrorText(text);
}

inline constexpr WCHAR protocolHeader[] = WSBRIDGE_WIDE("Sec-WebSocket-Protocol");

// The value of the response's header `name` at `index` (0: the first), or nullopt when there is
// none or it is longer than `limit` code units.
std::optional<Utf16Text> responseHeader(HINTERNET request, const WCHAR* name, DWORD index,
                                        std::size_t limit) {
    std::vector<WCHAR> value(limit + 1);
    auto bytes = static_cast<DWORD>(value.size() * sizeof(WCHAR));
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, name, value.data(), &bytes, &index)) {
        return std::nullopt;
    }
    return Utf16Text(value.data(), std::min<std::size_t>(bytes / sizeof(WCHAR), limit));
}

// Whether the response has a header `name` at `index`, whatever its length: asked without a
// buffer, the answer is "too small" when it exists.
bool hasResponseHeader(HINTERNET request, const WCHAR* name, DWORD index) {
    DWORD bytes = 0;
    return WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, name, WINHTTP_NO_OUTPUT_BUFFER,
                               &bytes, &index) ||
           GetLastError() != ERROR_WINHTTP_HEADER_NOT_FOUND;
}

// RFC 6455 4.1: when the request offers subprotocols, the server names the one it selected, and
// it must be one of those offered; it may appear once only (11.3.4). The transport may not check
// this itself (the platform's does not), so it is checked here; a server that selects none is
// refused too, since the host asked for one.
bool selectedOfferedProtocol(HINTERNET request, const std::vector<std::string>& offered) {
    std::size_t longest = 0;
    for (const std::string& protocol : offered) longest = std::max(longest, protocol.size());
    const std::optional<Utf16Text> selected = responseHeader(request, protocolHeader, 0, longest);
    if (!selected || hasResponseHeader(request, protocolHeader, 1)) return false;
    return std::ranges::any_of(offered, [&](const std::string& protocol) {
        return std::ranges::equal(*selected, protocol,
                                  [](WCHAR a, char b) { return a == static_cast<WCHAR>(b); });
    });
}

}  // namespace

// Handles are declared session, connection, request, so that on a failure they are closed in the
// order request, connection, session, after the step's text has been recorded.
bool performHandshake(OpenedConnection& opened) {
    const BridgeState& state = bridgeState();
    ScopedHandle session(WinHttpOpen(userAgentText, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        setLastErrorText(statusText::openFailed);
        return false;
    }
    const auto port = static_cast<INTERNET_PORT>(static_cast<std::uint32_t>(state.serverPort));
    ScopedHandle connection(WinHttpConnect(session.get(), state.serverHost.c_str(), port, 0));
    if (!connection) {
        setLastErrorText(statusText::connectFailed);
        return false;
    }
    const DWORD flags = state.useTls ? WINHTTP_FLAG_SECURE : 0;
    ScopedHandle request(WinHttpOpenRequest(connection.get(), WSBRIDGE_WIDE("GET"),
                                            state.resourcePath.c_str(), nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request) {
        setLastErrorText(statusText::openRequestFailed);
        return false;
    }
    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0)) {
        setLastErrorText(statusText::setOptionFailed);
        return false;
    }
    const RequestHeaders& headers = state.requestHeaders;
    if (!headers.text.empty() && !WinHttpAddRequestHeaders(request.get(), headers.text.c_str(),
                                                           static_cast<DWORD>(headers.text.size()),
                                                           WINHTTP_ADDREQ_FLAG_ADD)) {
        setLastErrorText(statusText::addRequestHeadersFailed);
        return false;
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        recordSendRequestFailure(state.serverHost);
        return false;
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr)) {
        setLastErrorText(statusText::receiveResponseFailed);
        return false;
    }
    if (!headers.offeredProtocols.empty() &&
        !selectedOfferedProtocol(request.get(), headers.offeredProtocols)) {
        setLastErrorText(statusText::completeUpgradeFailed);  // the upgrade is refused
        return false;
    }
    ScopedHandle webSocket(WinHttpWebSocketCompleteUpgrade(request.get(), 0));
    request.reset();  // the request is done with, whatever the outcome
    if (!webSocket) {
        setLastErrorText(statusText::completeUpgradeFailed);
        return false;
    }
    opened.webSocket = webSocket.release();
    opened.connection = connection.release();
    opened.session = session.release();
    return true;
}

}  // namespace wsbridge
