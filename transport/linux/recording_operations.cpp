// WinHttpOpen, WinHttpConnect, WinHttpOpenRequest and WinHttpSetOption: they validate and record,
// and do no network work.
#include <cctype>
#include <memory>
#include <string>

#include "transport/linux/handle_table.h"
#include "transport/linux/operation_guard.h"
#include "transport/linux/session_records.h"
#include "transport/linux/tls_stream.h"
#include "transport/linux/upgrade_request_handle.h"
#include "transport/linux/utf16_to_utf8.h"
#include "transport/protocol/path_escape.h"
#include "transport/protocol/upgrade_request.h"

using namespace wsbridge::transport;

namespace {

inline constexpr DWORD accessTypeNoProxy = 1;
// A request line longer than this is refused by common servers; we refuse it first.
inline constexpr std::size_t maxRequestTargetSize = std::size_t{8} * 1024;

// A DNS name (letters, digits, '-', '.', '_') or an IP literal (hex digits, '.', ':', and '%'
// for an IPv6 zone). Names outside ASCII are not converted to their ACE form, so refused here.
bool isHostCharacter(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == ':' || c == '%';
}

std::optional<std::string> validHost(LPCWSTR serverName) {
    std::optional<std::string> host = utf8FromUtf16(serverName);
    if (!host) return std::nullopt;
    if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);  // an IPv6 literal as a URL writes it
    }
    if (wsbridge::protocol::checkHost(*host) != wsbridge::protocol::ProtocolError::None) {
        return std::nullopt;
    }
    for (const unsigned char c : *host) {
        if (!isHostCharacter(c)) return std::nullopt;
    }
    return host;
}

bool isGet(LPCWSTR verb) {
    if (!verb) return true;  // the platform's default verb
    const std::optional<std::string> text = utf8FromUtf16(verb);
    return text && *text == "GET";  // the WebSocket upgrade is a GET (RFC 6455 4.1)
}

bool isHttp11OrDefault(LPCWSTR version) {
    if (!version) return true;
    const std::optional<std::string> text = utf8FromUtf16(version);
    return text && *text == "HTTP/1.1";
}

}  // namespace

HINTERNET WinHttpOpen(LPCWSTR userAgent, DWORD accessType, LPCWSTR, LPCWSTR, DWORD flags) {
    return guardLastError<HINTERNET>(nullptr, [&]() -> HINTERNET {
        if (!prepareOpenSsl()) {
            SetLastError(ERROR_WINHTTP_INTERNAL_ERROR);
            return nullptr;
        }
        const std::optional<std::string> agent = utf8FromUtf16(userAgent);
        // Only synchronous sessions; a user-agent that could break its header line is refused.
        if (flags != 0 || !agent ||
            wsbridge::protocol::checkUserAgent(*agent) != wsbridge::protocol::ProtocolError::None ||
            (accessType != WINHTTP_ACCESS_TYPE_DEFAULT_PROXY && accessType != accessTypeNoProxy)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return registerHandle(std::make_shared<SessionRecord>(
            *agent, accessType == WINHTTP_ACCESS_TYPE_DEFAULT_PROXY));
    });
}

HINTERNET WinHttpConnect(HINTERNET session, LPCWSTR serverName, INTERNET_PORT serverPort,
                         DWORD reserved) {
    return guardLastError<HINTERNET>(nullptr, [&]() -> HINTERNET {
        DWORD error = ERROR_SUCCESS;
        const auto record = findHandleOf<SessionRecord>(session, error);
        if (!record) {
            SetLastError(error);
            return nullptr;
        }
        if (reserved != 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        std::optional<std::string> host = validHost(serverName);
        if (!host) {
            SetLastError(ERROR_WINHTTP_INVALID_URL);
            return nullptr;
        }
        return registerHandle(
            std::make_shared<ConnectionRecord>(*record, std::move(*host), serverPort));
    });
}

HINTERNET WinHttpOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName,
                             LPCWSTR version, LPCWSTR, LPCWSTR*, DWORD flags) {
    return guardLastError<HINTERNET>(nullptr, [&]() -> HINTERNET {
        DWORD error = ERROR_SUCCESS;
        const auto record = findHandleOf<ConnectionRecord>(connection, error);
        if (!record) {
            SetLastError(error);
            return nullptr;
        }
        if (!isGet(verb) || !isHttp11OrDefault(version)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        const std::optional<std::string> path = utf8FromUtf16(objectName);
        if (!path) {
            SetLastError(ERROR_WINHTTP_INVALID_URL);
            return nullptr;
        }
        RequestTarget target;
        target.path = wsbridge::protocol::escapeRequestPath(*path);
        if (target.path.size() > maxRequestTargetSize) {
            SetLastError(ERROR_WINHTTP_INVALID_URL);
            return nullptr;
        }
        target.secure = (flags & WINHTTP_FLAG_SECURE) != 0;
        // Port 0 stands for the scheme's default; any other port is used as given.
        target.port = record->port != 0 ? record->port
                      : target.secure   ? wsbridge::protocol::defaultSecurePort
                                        : wsbridge::protocol::defaultPlainPort;
        target.host = record->host;
        target.userAgent = record->userAgent;
        target.useProxy = record->useProxy;
        return registerHandle(std::make_shared<UpgradeRequestHandle>(std::move(target)));
    });
}

BOOL WinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength) {
    return guardLastError<BOOL>(FALSE, [&]() -> BOOL {
        DWORD error = ERROR_SUCCESS;
        const auto request = findHandleOf<UpgradeRequestHandle>(handle, error);
        // The one option there is: the upgrade to WebSocket, with no buffer.
        if (request && (option != WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET || buffer || bufferLength)) {
            error = ERROR_INVALID_PARAMETER;
        } else if (request) {
            error = request->askForUpgrade();
        }
        if (error != ERROR_SUCCESS) {
            SetLastError(error);
            return FALSE;
        }
        return TRUE;
    });
}
