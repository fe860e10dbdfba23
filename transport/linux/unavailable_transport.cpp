// A transport with no network path: every handle opens, and sending the upgrade request fails
// with ERROR_CALL_NOT_IMPLEMENTED. It lets the library load and report a clean handshake failure
// on a build that has no socket transport linked in.
#include <atomic>
#include <cstdint>

#include "transport/linux/winhttp_decls.h"

namespace {

inline constexpr DWORD errorCallNotImplemented = 120;
std::atomic<std::uintptr_t> nextHandle{1};

HINTERNET newHandle() {
    return reinterpret_cast<HINTERNET>(nextHandle++);
}

}  // namespace

HINTERNET WinHttpOpen(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD) {
    return newHandle();
}
HINTERNET WinHttpConnect(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD) {
    return newHandle();
}
HINTERNET WinHttpOpenRequest(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD) {
    return newHandle();
}
BOOL WinHttpSetOption(HINTERNET, DWORD, LPVOID, DWORD) {
    return TRUE;
}
BOOL WinHttpSendRequest(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) {
    SetLastError(errorCallNotImplemented);
    return FALSE;
}
BOOL WinHttpReceiveResponse(HINTERNET, LPVOID) {
    SetLastError(errorCallNotImplemented);
    return FALSE;
}
HINTERNET WinHttpWebSocketCompleteUpgrade(HINTERNET, DWORD_PTR) {
    SetLastError(errorCallNotImplemented);
    return nullptr;
}
DWORD WinHttpWebSocketReceive(HINTERNET, PVOID, DWORD, DWORD*, WINHTTP_WEB_SOCKET_BUFFER_TYPE*) {
    return ERROR_INVALID_HANDLE;
}
DWORD WinHttpWebSocketSend(HINTERNET, WINHTTP_WEB_SOCKET_BUFFER_TYPE, PVOID, DWORD) {
    return ERROR_INVALID_HANDLE;
}
DWORD WinHttpWebSocketClose(HINTERNET, USHORT, PVOID, DWORD) {
    return ERROR_INVALID_HANDLE;
}
BOOL WinHttpCloseHandle(HINTERNET) {
    return TRUE;
}
