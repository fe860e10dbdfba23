// Declarations of the transport operations for platforms without WinHTTP, written from what the
// callers need: the types, constants and signatures they use, with the platform's values.
#pragma once

#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using USHORT = unsigned short;
using UINT = unsigned int;
using WCHAR = char16_t;
using LPCWSTR = const WCHAR*;
using LPCWCH = const WCHAR*;
using LPSTR = char*;
using LPCCH = const char*;
using LPBOOL = BOOL*;
using LPVOID = void*;
using PVOID = void*;
using DWORD_PTR = std::uintptr_t;
using INTERNET_PORT = WORD;
using HINTERNET = void*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

inline constexpr DWORD WINHTTP_ACCESS_TYPE_DEFAULT_PROXY = 0;
inline constexpr LPCWSTR WINHTTP_NO_PROXY_NAME = nullptr;
inline constexpr LPCWSTR WINHTTP_NO_PROXY_BYPASS = nullptr;
inline constexpr LPCWSTR WINHTTP_NO_REFERER = nullptr;
inline constexpr LPCWSTR* WINHTTP_DEFAULT_ACCEPT_TYPES = nullptr;
inline constexpr LPCWSTR WINHTTP_NO_ADDITIONAL_HEADERS = nullptr;
inline constexpr LPVOID WINHTTP_NO_REQUEST_DATA = nullptr;
inline constexpr DWORD WINHTTP_FLAG_SECURE = 0x00800000;
inline constexpr DWORD WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET = 114;
inline constexpr USHORT WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS = 1000;
inline constexpr USHORT WINHTTP_WEB_SOCKET_EMPTY_CLOSE_STATUS = 1005;
inline constexpr USHORT WINHTTP_WEB_SOCKET_ABORTED_CLOSE_STATUS = 1006;
inline constexpr DWORD WINHTTP_WEB_SOCKET_MAX_CLOSE_REASON_LENGTH = 123;
inline constexpr DWORD WINHTTP_ADDREQ_FLAG_ADD = 0x20000000;
inline constexpr DWORD WINHTTP_QUERY_CUSTOM = 65535;
inline constexpr LPVOID WINHTTP_NO_OUTPUT_BUFFER = nullptr;
inline constexpr DWORD* WINHTTP_NO_HEADER_INDEX = nullptr;

enum WINHTTP_WEB_SOCKET_BUFFER_TYPE {
    WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE = 0,
    WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE = 1,
    WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE = 2,
    WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE = 3,
    WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE = 4,
};

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr DWORD DLL_PROCESS_DETACH = 0;
inline constexpr DWORD DLL_PROCESS_ATTACH = 1;

// Error numbers, as the platform numbers them.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_INVALID_OPERATION = 4317;
inline constexpr DWORD ERROR_WINHTTP_TIMEOUT = 12002;
inline constexpr DWORD ERROR_WINHTTP_INTERNAL_ERROR = 12004;
inline constexpr DWORD ERROR_WINHTTP_INVALID_URL = 12005;
inline constexpr DWORD ERROR_WINHTTP_UNRECOGNIZED_SCHEME = 12006;
inline constexpr DWORD ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007;
inline constexpr DWORD ERROR_WINHTTP_OPERATION_CANCELLED = 12017;
inline constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_TYPE = 12018;
inline constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_STATE = 12019;
inline constexpr DWORD ERROR_WINHTTP_CANNOT_CONNECT = 12029;
inline constexpr DWORD ERROR_WINHTTP_CONNECTION_ERROR = 12030;
inline constexpr DWORD ERROR_WINHTTP_HEADER_NOT_FOUND = 12150;
inline constexpr DWORD ERROR_WINHTTP_INVALID_SERVER_RESPONSE = 12152;
inline constexpr DWORD ERROR_WINHTTP_INVALID_HEADER = 12153;
inline constexpr DWORD ERROR_WINHTTP_SECURE_FAILURE = 12175;

HINTERNET WinHttpOpen(LPCWSTR userAgent, DWORD accessType, LPCWSTR proxyName, LPCWSTR proxyBypass,
                      DWORD flags);
HINTERNET WinHttpConnect(HINTERNET session, LPCWSTR serverName, INTERNET_PORT serverPort,
                         DWORD reserved);
HINTERNET WinHttpOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName,
                             LPCWSTR version, LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags);
BOOL WinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength);
BOOL WinHttpAddRequestHeaders(HINTERNET request, LPCWSTR headers, DWORD headersLength,
                              DWORD modifiers);
BOOL WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                        DWORD optionalLength, DWORD totalLength, DWORD_PTR context);
BOOL WinHttpReceiveResponse(HINTERNET request, LPVOID reserved);
BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer,
                         DWORD* bufferLength, DWORD* index);
HINTERNET WinHttpWebSocketCompleteUpgrade(HINTERNET request, DWORD_PTR context);
DWORD WinHttpWebSocketReceive(HINTERNET webSocket, PVOID buffer, DWORD bufferLength,
                              DWORD* bytesRead, WINHTTP_WEB_SOCKET_BUFFER_TYPE* bufferType);
DWORD WinHttpWebSocketSend(HINTERNET webSocket, WINHTTP_WEB_SOCKET_BUFFER_TYPE bufferType,
                           PVOID buffer, DWORD bufferLength);
DWORD WinHttpWebSocketClose(HINTERNET webSocket, USHORT status, PVOID reason, DWORD reasonLength);
DWORD WinHttpWebSocketQueryCloseStatus(HINTERNET webSocket, USHORT* status, PVOID reason,
                                       DWORD reasonLength, DWORD* reasonLengthConsumed);
BOOL WinHttpCloseHandle(HINTERNET handle);

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText, int wideLength, LPSTR output,
                        int outputSize, LPCCH defaultChar, LPBOOL usedDefaultChar);
DWORD GetLastError();
void SetLastError(DWORD error);
