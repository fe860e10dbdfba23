// The operations that do network work (the handshake, then the WebSocket), and closing handles.
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transport/linux/handle_table.h"
#include "transport/linux/operation_guard.h"
#include "transport/linux/upgrade_request_handle.h"
#include "transport/linux/utf16_to_utf8.h"
#include "transport/linux/websocket_channel.h"
#include "transport/protocol/upgrade_request.h"

using namespace wsbridge::transport;

namespace {

BOOL succeedOrSetLastError(DWORD error) {
    if (error == ERROR_SUCCESS) return TRUE;
    SetLastError(error);
    return FALSE;
}

// The headers length that stands for "up to the terminating NUL".
inline constexpr DWORD untilTerminator = static_cast<DWORD>(-1);

}  // namespace

BOOL WinHttpAddRequestHeaders(HINTERNET request, LPCWSTR headers, DWORD headersLength,
                              DWORD modifiers) {
    return guardLastError<BOOL>(FALSE, [&]() -> BOOL {
        DWORD error = ERROR_SUCCESS;
        const auto handle = findHandleOf<UpgradeRequestHandle>(request, error);
        if (!handle) return succeedOrSetLastError(error);
        // Adding is the one modification there is: nothing is replaced or merged.
        if (!headers || (modifiers != 0 && modifiers != WINHTTP_ADDREQ_FLAG_ADD)) {
            return succeedOrSetLastError(ERROR_INVALID_PARAMETER);
        }
        // With a length, the text need not end with a NUL: only that many units are read.
        const std::u16string text = headersLength == untilTerminator
                                        ? std::u16string(headers)
                                        : std::u16string(headers, headersLength);
        std::optional<std::vector<wsbridge::protocol::HeaderField>> fields;
        if (text.find(u'\0') == std::u16string::npos) {  // a NUL can be in no header
            const std::optional<std::string> utf8 = utf8FromUtf16(text.c_str());
            if (utf8) fields = wsbridge::protocol::parseHeaderLines(*utf8);
        }
        if (!fields || wsbridge::protocol::checkExtraHeaders(*fields) !=
                           wsbridge::protocol::ProtocolError::None) {
            return succeedOrSetLastError(ERROR_WINHTTP_INVALID_HEADER);
        }
        return succeedOrSetLastError(handle->addHeaders(std::move(*fields)));
    });
}

BOOL WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                        DWORD optionalLength, DWORD totalLength, DWORD_PTR) {
    return guardLastError<BOOL>(FALSE, [&]() -> BOOL {
        DWORD error = ERROR_SUCCESS;
        const auto handle = findHandleOf<UpgradeRequestHandle>(request, error);
        if (!handle) return succeedOrSetLastError(error);
        // No extra headers and no body: the upgrade request is a bare GET.
        if (headers || headersLength || optional || optionalLength || totalLength) {
            return succeedOrSetLastError(ERROR_INVALID_PARAMETER);
        }
        return succeedOrSetLastError(handle->send());
    });
}

BOOL WinHttpReceiveResponse(HINTERNET request, LPVOID reserved) {
    return guardLastError<BOOL>(FALSE, [&]() -> BOOL {
        DWORD error = ERROR_SUCCESS;
        const auto handle = findHandleOf<UpgradeRequestHandle>(request, error);
        if (!handle) return succeedOrSetLastError(error);
        if (reserved) return succeedOrSetLastError(ERROR_INVALID_PARAMETER);
        return succeedOrSetLastError(handle->receiveResponse());
    });
}

// Only WINHTTP_QUERY_CUSTOM: the value of the response's header `name`, widened byte for byte
// (HTTP field values are Latin-1 at most), NUL-terminated; `index` picks among repeated headers
// and moves to the next one on success.
BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer,
                         DWORD* bufferLength, DWORD* index) {
    return guardLastError<BOOL>(FALSE, [&]() -> BOOL {
        DWORD error = ERROR_SUCCESS;
        const auto handle = findHandleOf<UpgradeRequestHandle>(request, error);
        if (!handle) return succeedOrSetLastError(error);
        if (infoLevel != WINHTTP_QUERY_CUSTOM || !name || !bufferLength) {
            return succeedOrSetLastError(ERROR_INVALID_PARAMETER);
        }
        const std::optional<std::string> wanted = utf8FromUtf16(name);
        if (!wanted) return succeedOrSetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
        std::string value;
        error = handle->queryHeader(*wanted, index ? *index : 0, value);
        if (error != ERROR_SUCCESS) return succeedOrSetLastError(error);
        const std::u16string wide(value.begin(), value.end());
        const auto needed = static_cast<DWORD>((wide.size() + 1) * sizeof(char16_t));
        if (!buffer || *bufferLength < needed) {
            *bufferLength = needed;
            return succeedOrSetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(buffer, wide.c_str(), needed);
        *bufferLength = needed - sizeof(char16_t);
        if (index) ++*index;
        return TRUE;
    });
}

HINTERNET WinHttpWebSocketCompleteUpgrade(HINTERNET request, DWORD_PTR) {
    return guardLastError<HINTERNET>(nullptr, [&]() -> HINTERNET {
        DWORD error = ERROR_SUCCESS;
        const auto handle = findHandleOf<UpgradeRequestHandle>(request, error);
        std::shared_ptr<WebSocketChannel> channel;
        if (handle) channel = handle->completeUpgrade(error);
        if (!channel) {
            SetLastError(error);
            return nullptr;
        }
        return registerHandle(std::move(channel));
    });
}

DWORD WinHttpWebSocketReceive(HINTERNET webSocket, PVOID buffer, DWORD bufferLength,
                              DWORD* bytesRead, WINHTTP_WEB_SOCKET_BUFFER_TYPE* bufferType) {
    return guardErrorCode([&]() -> DWORD {
        DWORD error = ERROR_SUCCESS;
        const auto channel = findHandleOf<WebSocketChannel>(webSocket, error);
        if (!channel) return error;
        if (!bytesRead || !bufferType) return ERROR_INVALID_PARAMETER;
        return channel->receive(buffer, bufferLength, *bytesRead, *bufferType);
    });
}

DWORD WinHttpWebSocketSend(HINTERNET webSocket, WINHTTP_WEB_SOCKET_BUFFER_TYPE bufferType,
                           PVOID buffer, DWORD bufferLength) {
    return guardErrorCode([&]() -> DWORD {
        DWORD error = ERROR_SUCCESS;
        const auto channel = findHandleOf<WebSocketChannel>(webSocket, error);
        if (!channel) return error;
        return channel->send(bufferType, buffer, bufferLength);
    });
}

DWORD WinHttpWebSocketClose(HINTERNET webSocket, USHORT status, PVOID reason, DWORD reasonLength) {
    return guardErrorCode([&]() -> DWORD {
        DWORD error = ERROR_SUCCESS;
        const auto channel = findHandleOf<WebSocketChannel>(webSocket, error);
        if (!channel) return error;
        return channel->close(status, reason, reasonLength);
    });
}

DWORD WinHttpWebSocketQueryCloseStatus(HINTERNET webSocket, USHORT* status, PVOID reason,
                                       DWORD reasonLength, DWORD* reasonLengthConsumed) {
    return guardErrorCode([&]() -> DWORD {
        DWORD error = ERROR_SUCCESS;
        const auto channel = findHandleOf<WebSocketChannel>(webSocket, error);
        if (!channel) return error;
        if (!status || !reasonLengthConsumed || (reasonLength > 0 && !reason)) {
            return ERROR_INVALID_PARAMETER;
        }
        return channel->queryCloseStatus(*status, reason, reasonLength, *reasonLengthConsumed);
    });
}

BOOL WinHttpCloseHandle(HINTERNET handle) {
    return guardLastError<BOOL>(FALSE, [&]() -> BOOL {
        return succeedOrSetLastError(unregisterHandle(handle) ? ERROR_SUCCESS
                                                              : ERROR_INVALID_HANDLE);
    });
}
