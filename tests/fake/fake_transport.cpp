#include "tests/fake/fake_transport.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace fake {
namespace {

// No scripted wait may hang a test run.
constexpr auto waitLimit = std::chrono::seconds(10);

ReceiveStep step(WINHTTP_WEB_SOCKET_BUFFER_TYPE type, std::string bytes) {
    ReceiveStep result;
    result.type = type;
    result.bytes = std::move(bytes);
    return result;
}

std::u16string copyText(LPCWSTR text) {
    return text ? std::u16string(reinterpret_cast<const char16_t*>(text)) : std::u16string();
}

}  // namespace

ReceiveStep text(std::string bytes) {
    return step(WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE, std::move(bytes));
}
ReceiveStep textFragment(std::string bytes) {
    return step(WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE, std::move(bytes));
}
ReceiveStep binary(std::string bytes) {
    return step(WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE, std::move(bytes));
}
ReceiveStep binaryFragment(std::string bytes) {
    return step(WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE, std::move(bytes));
}
ReceiveStep closeBuffer() {
    return step(WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE, {});
}
ReceiveStep failure(DWORD error) {
    ReceiveStep result;
    result.error = error;
    return result;
}

const char* operationName(Operation operation) {
    static const char* const names[] = {
        "Open",         "Connect",         "OpenRequest",     "SetOption",
        "SendRequest",  "ReceiveResponse", "CompleteUpgrade", "Receive",
        "Send",         "WebSocketClose",  "CloseHandle",     "AddRequestHeaders",
        "QueryHeaders", "QueryCloseStatus"};
    return names[static_cast<int>(operation)];
}

const char* kindName(HandleKind kind) {
    switch (kind) {
        case HandleKind::Session:
            return "Session";
        case HandleKind::Connection:
            return "Connection";
        case HandleKind::Request:
            return "Request";
        case HandleKind::WebSocket:
            return "WebSocket";
    }
    return "?";
}

namespace {
// Built before, and so destroyed after, the library's own state, whose destructor still closes
// handles through this transport.
FakeTransport transport __attribute__((init_priority(101)));
}  // namespace

FakeTransport& FakeTransport::instance() {
    return transport;
}

void FakeTransport::reset(Script script) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = std::move(script);
    record_ = Record{};
    nextReceive_ = 0;
    handshakeReleased_ = false;
    handles_.clear();
    changed_.notify_all();
}

void FakeTransport::releaseHandshake() {
    std::lock_guard<std::mutex> lock(mutex_);
    handshakeReleased_ = true;
    changed_.notify_all();
}

void FakeTransport::pushReceive(ReceiveStep next) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.receives.push_back(std::move(next));
    changed_.notify_all();
}

Record FakeTransport::record() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
}

bool FakeTransport::waitUntil(const std::function<bool(const Record&)>& predicate,
                              std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return predicate(record_); });
}

void FakeTransport::setEventSink(void (*sink)(const char*)) {
    std::lock_guard<std::mutex> lock(mutex_);
    sink_ = sink;
}

void FakeTransport::emit(const std::string& line) {
    if (sink_) sink_(line.c_str());
}

// Records the call; returns false when the countdown says this call fails.
bool FakeTransport::beginCall(Operation operation, std::unique_lock<std::mutex>&) {
    const int number = static_cast<int>(record_.calls.size());
    record_.calls.push_back(operation);
    emit(operationName(operation));
    changed_.notify_all();
    return number != script_.failOperationNumber && script_.failAt != operation;
}

HINTERNET FakeTransport::newHandle(HandleKind kind) {
    auto* handle = reinterpret_cast<HINTERNET>(nextHandle_++);
    handles_[handle] = HandleEntry{kind};
    record_.openedHandles.push_back(handle);
    return handle;
}

bool FakeTransport::isOpen(HINTERNET handle, HandleKind kind) const {
    const auto found = handles_.find(handle);
    return found != handles_.end() && !found->second.closed && found->second.kind == kind;
}

HINTERNET FakeTransport::open(LPCWSTR userAgent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass,
                              DWORD flags) {
    std::unique_lock<std::mutex> lock(mutex_);
    record_.userAgent = copyText(userAgent);
    record_.accessType = accessType;
    record_.proxyArgumentsNull = proxy == nullptr && bypass == nullptr;
    record_.openFlags = flags;
    if (!beginCall(Operation::Open, lock)) return nullptr;
    return newHandle(HandleKind::Session);
}

HINTERNET FakeTransport::connect(HINTERNET session, LPCWSTR host, INTERNET_PORT port) {
    std::unique_lock<std::mutex> lock(mutex_);
    record_.host = copyText(host);
    record_.port = port;
    if (!beginCall(Operation::Connect, lock) || !isOpen(session, HandleKind::Session)) {
        return nullptr;
    }
    return newHandle(HandleKind::Connection);
}

HINTERNET FakeTransport::openRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR path,
                                     bool defaultsNull, DWORD flags) {
    std::unique_lock<std::mutex> lock(mutex_);
    record_.verb = copyText(verb);
    record_.path = copyText(path);
    record_.requestDefaultsNull = defaultsNull;
    record_.requestFlags = flags;
    if (!beginCall(Operation::OpenRequest, lock) || !isOpen(connection, HandleKind::Connection)) {
        return nullptr;
    }
    return newHandle(HandleKind::Request);
}

BOOL FakeTransport::setOption(HINTERNET request, DWORD option, bool bufferEmpty) {
    std::unique_lock<std::mutex> lock(mutex_);
    record_.option = option;
    record_.optionBufferEmpty = bufferEmpty;
    return beginCall(Operation::SetOption, lock) && isOpen(request, HandleKind::Request);
}

BOOL FakeTransport::addRequestHeaders(HINTERNET request, LPCWSTR headers, DWORD length,
                                      DWORD modifiers) {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::u16string text = copyText(headers);
    record_.addedHeaders = text.substr(0, length);
    record_.addHeadersModifiers = modifiers;
    return beginCall(Operation::AddRequestHeaders, lock) && isOpen(request, HandleKind::Request);
}

// Only the custom query of Sec-WebSocket-Protocol has scripted answers; any other name is absent.
BOOL FakeTransport::queryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer,
                                 DWORD* bufferLength, DWORD* index) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!beginCall(Operation::QueryHeaders, lock) || !isOpen(request, HandleKind::Request) ||
        infoLevel != WINHTTP_QUERY_CUSTOM || !bufferLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD at = index ? *index : 0;
    if (copyText(name) != u"Sec-WebSocket-Protocol" || at >= script_.responseProtocols.size()) {
        SetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
        return FALSE;
    }
    const std::u16string& value = script_.responseProtocols[at];
    const auto needed = static_cast<DWORD>((value.size() + 1) * sizeof(char16_t));
    if (!buffer || *bufferLength < needed) {
        *bufferLength = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, value.c_str(), needed);
    *bufferLength = needed - sizeof(char16_t);
    if (index) ++*index;
    return TRUE;
}

BOOL FakeTransport::sendRequest(HINTERNET request) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool succeeds = beginCall(Operation::SendRequest, lock);
    if (script_.holdHandshake) {
        changed_.wait_for(lock, waitLimit, [&] { return handshakeReleased_; });
    }
    if (!succeeds || !isOpen(request, HandleKind::Request)) {
        SetLastError(script_.sendRequestError);
        return FALSE;
    }
    return TRUE;
}

BOOL FakeTransport::receiveResponse(HINTERNET request) {
    std::unique_lock<std::mutex> lock(mutex_);
    return beginCall(Operation::ReceiveResponse, lock) && isOpen(request, HandleKind::Request);
}

HINTERNET FakeTransport::completeUpgrade(HINTERNET request) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!beginCall(Operation::CompleteUpgrade, lock) || !isOpen(request, HandleKind::Request)) {
        return nullptr;
    }
    return newHandle(HandleKind::WebSocket);
}

DWORD FakeTransport::receive(HINTERNET webSocket, PVOID buffer, DWORD size, DWORD* count,
                             WINHTTP_WEB_SOCKET_BUFFER_TYPE* type) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++record_.receiveCalls;
    record_.receiveSizes.push_back(size);
    const bool succeeds = beginCall(Operation::Receive, lock);
    const auto finish = [&](DWORD result) {
        ++record_.receivesReturned;
        emit("Receive returned");
        changed_.notify_all();
        return result;
    };
    if (!succeeds) return finish(ERROR_WINHTTP_CONNECTION_ERROR);
    // Closing the WebSocket, or its handle, ends a pending receive.
    const auto closed = [&] {
        return !isOpen(webSocket, HandleKind::WebSocket) || handles_[webSocket].closeSent;
    };
    changed_.wait_for(lock, waitLimit, [&] {
        return closed() || (nextReceive_ < script_.receives.size() &&
                            !script_.receives[nextReceive_].untilClosed);
    });
    if (closed() && nextReceive_ < script_.receives.size() &&
        script_.receives[nextReceive_].untilClosed) {
        // The scripted result of a receive that was pending when the handle was closed.
        const ReceiveStep& cut = script_.receives[nextReceive_++];
        const std::size_t copied = std::min<std::size_t>(cut.bytes.size(), size);
        if (copied > 0) std::memcpy(buffer, cut.bytes.data(), copied);
        *count = static_cast<DWORD>(copied);
        *type = cut.type;
        return finish(cut.error);
    }
    if (closed() || nextReceive_ >= script_.receives.size()) {
        *count = 0;
        if (script_.closeEndsWithCloseBuffer) {
            *type = WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE;
            return finish(0);
        }
        return finish(script_.errorWhenClosed);
    }
    const ReceiveStep& next = script_.receives[nextReceive_++];
    const std::size_t copied = std::min<std::size_t>(next.bytes.size(), size);
    if (copied > 0) std::memcpy(buffer, next.bytes.data(), copied);
    *count = next.reportedCount ? next.reportedCount : static_cast<DWORD>(copied);
    *type = next.type;
    return finish(next.error);
}

DWORD FakeTransport::send(HINTERNET webSocket, WINHTTP_WEB_SOCKET_BUFFER_TYPE type, PVOID bytes,
                          DWORD count) {
    std::chrono::milliseconds delay;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        record_.sends.emplace_back(type, std::string(static_cast<const char*>(bytes), count));
        if (!beginCall(Operation::Send, lock)) return ERROR_WINHTTP_CONNECTION_ERROR;
        if (!isOpen(webSocket, HandleKind::WebSocket)) return ERROR_INVALID_HANDLE;
        delay = script_.sendDelay;
    }
    std::this_thread::sleep_for(delay);
    std::lock_guard<std::mutex> lock(mutex_);
    return script_.sendResult;
}

DWORD FakeTransport::closeWebSocket(HINTERNET webSocket, USHORT status) {
    std::chrono::milliseconds delay;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        record_.closeStatuses.push_back(status);
        emit("WebSocketClose " + std::to_string(status));
        beginCall(Operation::WebSocketClose, lock);
        if (!isOpen(webSocket, HandleKind::WebSocket)) return ERROR_INVALID_HANDLE;
        handles_[webSocket].closeSent = true;
        changed_.notify_all();
        delay = script_.webSocketCloseDelay;
    }
    std::this_thread::sleep_for(delay);
    return 0;
}

DWORD FakeTransport::queryCloseStatus(HINTERNET webSocket, USHORT* status, PVOID reason,
                                      DWORD reasonLength, DWORD* reasonLengthConsumed) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!beginCall(Operation::QueryCloseStatus, lock)) return ERROR_WINHTTP_CONNECTION_ERROR;
    if (!isOpen(webSocket, HandleKind::WebSocket)) return ERROR_INVALID_HANDLE;
    if (!status || !reasonLengthConsumed) return ERROR_INVALID_PARAMETER;
    if (!script_.serverClose) return ERROR_INVALID_OPERATION;
    const std::string& text = script_.serverClose->reason;
    if (text.size() > reasonLength) return ERROR_INSUFFICIENT_BUFFER;
    if (!text.empty()) std::memcpy(reason, text.data(), text.size());
    *status = script_.serverClose->code;
    *reasonLengthConsumed = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}

BOOL FakeTransport::closeHandle(HINTERNET handle) {
    std::unique_lock<std::mutex> lock(mutex_);
    beginCall(Operation::CloseHandle, lock);
    const auto found = handles_.find(handle);
    if (found == handles_.end() || found->second.closed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    found->second.closed = true;
    record_.closedHandles.push_back({found->second.kind, handle});
    emit(std::string("CloseHandle ") + kindName(found->second.kind));
    changed_.notify_all();
    return TRUE;
}

}  // namespace fake

using fake::FakeTransport;

HINTERNET WinHttpOpen(LPCWSTR userAgent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass,
                      DWORD flags) {
    return FakeTransport::instance().open(userAgent, accessType, proxy, bypass, flags);
}
HINTERNET WinHttpConnect(HINTERNET session, LPCWSTR host, INTERNET_PORT port, DWORD) {
    return FakeTransport::instance().connect(session, host, port);
}
HINTERNET WinHttpOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR path, LPCWSTR version,
                             LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags) {
    const bool defaultsNull = !version && !referrer && !acceptTypes;
    return FakeTransport::instance().openRequest(connection, verb, path, defaultsNull, flags);
}
BOOL WinHttpSetOption(HINTERNET request, DWORD option, LPVOID buffer, DWORD length) {
    return FakeTransport::instance().setOption(request, option, !buffer && length == 0);
}
BOOL WinHttpAddRequestHeaders(HINTERNET request, LPCWSTR headers, DWORD length, DWORD modifiers) {
    return FakeTransport::instance().addRequestHeaders(request, headers, length, modifiers);
}
BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer,
                         DWORD* bufferLength, DWORD* index) {
    return FakeTransport::instance().queryHeaders(request, infoLevel, name, buffer, bufferLength,
                                                  index);
}
BOOL WinHttpSendRequest(HINTERNET request, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) {
    return FakeTransport::instance().sendRequest(request);
}
BOOL WinHttpReceiveResponse(HINTERNET request, LPVOID) {
    return FakeTransport::instance().receiveResponse(request);
}
HINTERNET WinHttpWebSocketCompleteUpgrade(HINTERNET request, DWORD_PTR) {
    return FakeTransport::instance().completeUpgrade(request);
}
DWORD WinHttpWebSocketReceive(HINTERNET webSocket, PVOID buffer, DWORD size, DWORD* count,
                              WINHTTP_WEB_SOCKET_BUFFER_TYPE* type) {
    return FakeTransport::instance().receive(webSocket, buffer, size, count, type);
}
DWORD WinHttpWebSocketSend(HINTERNET webSocket, WINHTTP_WEB_SOCKET_BUFFER_TYPE type, PVOID bytes,
                           DWORD count) {
    return FakeTransport::instance().send(webSocket, type, bytes, count);
}
DWORD WinHttpWebSocketClose(HINTERNET webSocket, USHORT status, PVOID, DWORD) {
    return FakeTransport::instance().closeWebSocket(webSocket, status);
}
DWORD WinHttpWebSocketQueryCloseStatus(HINTERNET webSocket, USHORT* status, PVOID reason,
                                       DWORD reasonLength, DWORD* reasonLengthConsumed) {
    return FakeTransport::instance().queryCloseStatus(webSocket, status, reason, reasonLength,
                                                      reasonLengthConsumed);
}
BOOL WinHttpCloseHandle(HINTERNET handle) {
    return FakeTransport::instance().closeHandle(handle);
}
