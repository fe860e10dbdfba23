// The operations that do network work (the handshake, then the WebSocket), and closing handles.
#include <memory>

#include "transport/linux/handle_table.h"
#include "transport/linux/operation_guard.h"
#include "transport/linux/upgrade_request_handle.h"
#include "transport/linux/websocket_channel.h"

using namespace wsbridge::transport;

namespace {

BOOL succeedOrSetLastError(DWORD error) {
    if (error == ERROR_SUCCESS) return TRUE;
    SetLastError(error);
    return FALSE;
}

}  // namespace

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

BOOL WinHttpCloseHandle(HINTERNET handle) {
    return guardLastError<BOOL>(FALSE, [&]() -> BOOL {
        return succeedOrSetLastError(unregisterHandle(handle) ? ERROR_SUCCESS
                                                              : ERROR_INVALID_HANDLE);
    });
}
