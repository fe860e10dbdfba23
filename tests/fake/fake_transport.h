// A scripted stand-in for the transport operations: each outcome is set by the test, and every
// call is recorded with its arguments. Linked instead of the real transport in unit tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transport/winhttp_api.h"

namespace fake {

enum class Operation {
    Open,
    Connect,
    OpenRequest,
    SetOption,
    SendRequest,
    ReceiveResponse,
    CompleteUpgrade,
    Receive,
    Send,
    WebSocketClose,
    CloseHandle,
    AddRequestHeaders,
    QueryHeaders,
    QueryCloseStatus,
};

enum class HandleKind { Session, Connection, Request, WebSocket };

// One scripted result of WinHttpWebSocketReceive.
struct ReceiveStep {
    DWORD error = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE;
    std::string bytes;
    DWORD reportedCount = 0;   // when nonzero, the byte count reported instead of the size
    bool untilClosed = false;  // wait until the WebSocket handle is closed, then deliver this
};

ReceiveStep text(std::string bytes);
ReceiveStep textFragment(std::string bytes);
ReceiveStep binary(std::string bytes);
ReceiveStep binaryFragment(std::string bytes);
ReceiveStep closeBuffer();
ReceiveStep failure(DWORD error);

struct Script {
    std::optional<Operation> failAt;  // this handshake step fails
    DWORD sendRequestError = ERROR_WINHTTP_CANNOT_CONNECT;
    std::vector<ReceiveStep> receives;
    // When the steps are used up the receive blocks until its handle is closed, then returns this
    // error, or the close buffer if closeEndsWithCloseBuffer is set.
    DWORD errorWhenClosed = ERROR_WINHTTP_OPERATION_CANCELLED;
    bool closeEndsWithCloseBuffer = false;
    bool holdHandshake = false;  // WinHttpSendRequest waits for releaseHandshake()
    std::chrono::milliseconds sendDelay{0};
    std::chrono::milliseconds webSocketCloseDelay{0};
    DWORD sendResult = 0;
    int failOperationNumber = -1;  // the n-th call (from 0), whatever it is, fails
    // Each Sec-WebSocket-Protocol header of the upgrade response, in order.
    std::vector<std::u16string> responseProtocols;
    // What WinHttpWebSocketQueryCloseStatus reports; without it, no close frame came.
    struct ServerClose {
        USHORT code = 0;
        std::string reason;
    };
    std::optional<ServerClose> serverClose;
};

struct HandleClose {
    HandleKind kind;
    HINTERNET handle;
};

struct Record {
    std::vector<Operation> calls;
    std::u16string userAgent;
    DWORD accessType = 0xFFFFFFFF;
    bool proxyArgumentsNull = false;
    DWORD openFlags = 0xFFFFFFFF;
    std::u16string host;
    INTERNET_PORT port = 0;
    std::u16string verb;
    std::u16string path;
    bool requestDefaultsNull = false;  // version, referrer and accept types
    DWORD requestFlags = 0xFFFFFFFF;
    DWORD option = 0;
    bool optionBufferEmpty = false;
    std::vector<std::pair<WINHTTP_WEB_SOCKET_BUFFER_TYPE, std::string>> sends;
    std::vector<USHORT> closeStatuses;
    std::u16string addedHeaders;  // as WinHttpAddRequestHeaders got them, its length applied
    DWORD addHeadersModifiers = 0;
    std::vector<HandleClose> closedHandles;
    std::vector<HINTERNET> openedHandles;
    int receiveCalls = 0;
    std::vector<DWORD> receiveSizes;  // the buffer size each receive was given
    int receivesReturned = 0;
};

class FakeTransport {
  public:
    static FakeTransport& instance();

    void reset(Script script);
    void releaseHandshake();
    void pushReceive(ReceiveStep step);  // wakes a receive waiting for more steps
    Record record() const;
    // Waits (bounded) until the predicate holds on the record; returns whether it did.
    bool waitUntil(const std::function<bool(const Record&)>& predicate,
                   std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    // Called with a short line for each event, for tests that cannot keep the record.
    void setEventSink(void (*sink)(const char*));

    HINTERNET open(LPCWSTR userAgent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass, DWORD flags);
    HINTERNET connect(HINTERNET session, LPCWSTR host, INTERNET_PORT port);
    HINTERNET openRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR path, bool defaultsNull,
                          DWORD flags);
    BOOL setOption(HINTERNET request, DWORD option, bool bufferEmpty);
    BOOL addRequestHeaders(HINTERNET request, LPCWSTR headers, DWORD length, DWORD modifiers);
    BOOL queryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer,
                      DWORD* bufferLength, DWORD* index);
    BOOL sendRequest(HINTERNET request);
    BOOL receiveResponse(HINTERNET request);
    HINTERNET completeUpgrade(HINTERNET request);
    DWORD receive(HINTERNET webSocket, PVOID buffer, DWORD size, DWORD* count,
                  WINHTTP_WEB_SOCKET_BUFFER_TYPE* type);
    DWORD send(HINTERNET webSocket, WINHTTP_WEB_SOCKET_BUFFER_TYPE type, PVOID bytes, DWORD count);
    DWORD closeWebSocket(HINTERNET webSocket, USHORT status);
    DWORD queryCloseStatus(HINTERNET webSocket, USHORT* status, PVOID reason, DWORD reasonLength,
                           DWORD* reasonLengthConsumed);
    BOOL closeHandle(HINTERNET handle);

  private:
    struct HandleEntry {
        HandleKind kind;
        bool closed = false;
        bool closeSent = false;
    };

    bool beginCall(Operation operation, std::unique_lock<std::mutex>& lock);
    HINTERNET newHandle(HandleKind kind);
    bool isOpen(HINTERNET handle, HandleKind kind) const;
    void emit(const std::string& line);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Script script_;
    Record record_;
    std::size_t nextReceive_ = 0;
    bool handshakeReleased_ = false;
    std::uintptr_t nextHandle_ = 0x1000;
    std::map<HINTERNET, HandleEntry> handles_;
    void (*sink_)(const char*) = nullptr;
};

const char* operationName(Operation operation);
const char* kindName(HandleKind kind);

}  // namespace fake
