// The transport operations called directly, below the bridge: the handle table's rules and the
// WebSocket behaviours the bridge cannot show (piece sizes, a receive after the close, a close
// or a handle close from another thread while an operation is pending).
#include <gtest/gtest.h>

#include <array>
#include <future>
#include <set>
#include <string>
#include <thread>

#include "loopback_sockets.h"
#include "peer_process.h"
#include "transport/winhttp_api.h"

using namespace integration;

namespace {

inline constexpr auto promptly = 3s;
HINTERNET const neverIssued = reinterpret_cast<HINTERNET>(0x7fffffffffffULL);

struct Handles {
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    HINTERNET webSocket = nullptr;
    ~Handles() {
        for (HINTERNET handle : {webSocket, request, connection, session}) {
            if (handle) WinHttpCloseHandle(handle);
        }
    }
};

// The bridge's handshake sequence; stops at the first failure, leaving the last error set.
bool openWebSocket(Handles& handles, int port) {
    handles.session =
        WinHttpOpen(u"transport-test", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
    handles.connection =
        WinHttpConnect(handles.session, u"127.0.0.1", static_cast<INTERNET_PORT>(port), 0);
    handles.request =
        WinHttpOpenRequest(handles.connection, u"GET", u"/", nullptr, nullptr, nullptr, 0);
    if (!handles.request ||
        !WinHttpSetOption(handles.request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0) ||
        !WinHttpSendRequest(handles.request, nullptr, 0, nullptr, 0, 0, 0) ||
        !WinHttpReceiveResponse(handles.request, nullptr)) {
        return false;
    }
    handles.webSocket = WinHttpWebSocketCompleteUpgrade(handles.request, 0);
    WinHttpCloseHandle(handles.request);
    handles.request = nullptr;
    return handles.webSocket != nullptr;
}

struct Received {
    DWORD error = 0;
    DWORD bytes = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
    std::string data;
};

Received receive(HINTERNET webSocket, DWORD size = 65536) {
    Received got;
    std::string buffer(size, '\0');
    got.error = WinHttpWebSocketReceive(webSocket, buffer.data(), size, &got.bytes, &got.type);
    if (got.error == 0) got.data = buffer.substr(0, got.bytes);
    return got;
}

TEST(HandleTableTest, UnknownAndClosedHandlesFailWithInvalidHandle) {
    HINTERNET session =
        WinHttpOpen(u"agent", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(WinHttpCloseHandle(session));
    for (HINTERNET handle : {neverIssued, session, static_cast<HINTERNET>(nullptr)}) {
        SetLastError(0);
        EXPECT_EQ(WinHttpConnect(handle, u"localhost", 80, 0), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(WinHttpCloseHandle(handle));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        DWORD bytes = 0;
        auto type = WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE;
        char buffer[8];
        EXPECT_EQ(WinHttpWebSocketReceive(handle, buffer, sizeof buffer, &bytes, &type),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(
            WinHttpWebSocketSend(handle, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE, buffer, 1),
            ERROR_INVALID_HANDLE);
        EXPECT_EQ(WinHttpWebSocketClose(handle, 1000, nullptr, 0), ERROR_INVALID_HANDLE);
    }
}

TEST(HandleTableTest, HandleValuesAreNeverReusedAndKindsAreChecked) {
    std::set<HINTERNET> seen;
    for (int i = 0; i < 1000; ++i) {
        HINTERNET session = WinHttpOpen(u"agent", 0, nullptr, nullptr, 0);
        ASSERT_TRUE(seen.insert(session).second) << "handle value handed out twice";
        WinHttpCloseHandle(session);
    }
    HINTERNET session = WinHttpOpen(u"agent", 0, nullptr, nullptr, 0);
    HINTERNET connection = WinHttpConnect(session, u"localhost", 0, 0);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(WinHttpOpenRequest(session, u"GET", u"/", nullptr, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    char buffer[8];
    EXPECT_EQ(
        WinHttpWebSocketSend(connection, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE, buffer, 1),
        ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
}

TEST(HandleTableTest, RecordingOperationsValidateWithoutNetworkWork) {
    HINTERNET session = WinHttpOpen(u"agent", 0, nullptr, nullptr, 0);
    EXPECT_EQ(WinHttpOpen(u"bad\r\nagent", 0, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(WinHttpConnect(session, u"", 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INVALID_URL);
    // A name nobody could resolve is still only recorded here.
    HINTERNET connection = WinHttpConnect(session, u"no-such-host.test", 0, 0);
    ASSERT_NE(connection, nullptr);
    const char16_t unpaired[] = {u'/', 0xD800, 0};
    EXPECT_EQ(WinHttpOpenRequest(connection, u"GET", unpaired, nullptr, nullptr, nullptr, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INVALID_URL);
    HINTERNET request = WinHttpOpenRequest(connection, u"GET", u"/a b?c", nullptr, nullptr, nullptr,
                                           WINHTTP_FLAG_SECURE);
    ASSERT_NE(request, nullptr);
    EXPECT_FALSE(WinHttpSetOption(request, 99, nullptr, 0));
    EXPECT_TRUE(WinHttpSetOption(request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0));
    for (HINTERNET handle : {request, connection, session}) EXPECT_TRUE(WinHttpCloseHandle(handle));
}

TEST(HandshakeOperationsTest, ResponseAndUpgradeFailuresCarryTheirErrorNumbers) {
    struct Case {
        const char* script;
        std::vector<std::string> arguments;
        bool responseReceived;  // else WinHttpReceiveResponse fails
        DWORD error;
    };
    const Case cases[] = {
        {"ws_peer.py", {"--status", "404"}, true, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {"raw_peer.py", {"--reply", "bad-accept"}, true, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {"raw_peer.py", {"--reply", "not-http"}, false, ERROR_WINHTTP_INVALID_SERVER_RESPONSE},
        {"raw_peer.py", {"--reply", "reset"}, false, ERROR_WINHTTP_CONNECTION_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[1]);
        PeerProcess peer(c.script, c.arguments);
        Handles handles;
        EXPECT_FALSE(openWebSocket(handles, peer.port()));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(handles.request == nullptr, c.responseReceived)
            << "the request is closed only once the upgrade was tried";
    }
}

TEST(WebSocketOperationsTest, ReceiveDeliversAtMostTheBufferSizePerCall) {
    PeerProcess peer("ws_peer.py", {"text=2500", "text=0", "hold"});
    Handles handles;
    ASSERT_TRUE(openWebSocket(handles, peer.port())) << GetLastError();
    const std::array<std::pair<DWORD, WINHTTP_WEB_SOCKET_BUFFER_TYPE>, 4> expected{{
        {1000, WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE},
        {1000, WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE},
        {500, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE},
        {0, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE},
    }};
    std::string joined;
    for (const auto& [bytes, type] : expected) {
        const Received got = receive(handles.webSocket, 1000);
        ASSERT_EQ(got.error, 0u);
        EXPECT_EQ(got.bytes, bytes);
        EXPECT_EQ(got.type, type);
        joined += got.data;
    }
    EXPECT_EQ(joined, patternBytes(2500));
}

TEST(WebSocketOperationsTest, AfterTheCloseBufferAReceiveIsAnInvalidOperation) {
    PeerProcess peer("ws_peer.py", {"close=1000"});
    Handles handles;
    ASSERT_TRUE(openWebSocket(handles, peer.port())) << GetLastError();
    EXPECT_EQ(receive(handles.webSocket).type, WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE);
    EXPECT_EQ(receive(handles.webSocket).error, ERROR_INVALID_OPERATION);
    EXPECT_EQ(WinHttpWebSocketClose(handles.webSocket, 1000, nullptr, 0), 0u);
    EXPECT_TRUE(peer.waitForLine("close 1000")) << "the reply close went out";
}

TEST(WebSocketOperationsTest, ClosingFromAnotherThreadCancelsThePendingReceive) {
    for (const bool closeTheHandle : {false, true}) {
        SCOPED_TRACE(closeTheHandle ? "WinHttpCloseHandle" : "WinHttpWebSocketClose");
        PeerProcess peer("ws_peer.py", {"hold"});
        Handles handles;
        ASSERT_TRUE(openWebSocket(handles, peer.port())) << GetLastError();
        auto pending = std::async(std::launch::async, [&] { return receive(handles.webSocket); });
        ASSERT_EQ(pending.wait_for(200ms), std::future_status::timeout) << "the receive blocks";
        if (closeTheHandle) {
            EXPECT_TRUE(WinHttpCloseHandle(handles.webSocket));
        } else {
            EXPECT_EQ(WinHttpWebSocketClose(handles.webSocket, 1000, nullptr, 0), 0u);
        }
        ASSERT_EQ(pending.wait_for(promptly), std::future_status::ready);
        EXPECT_EQ(pending.get().error, ERROR_WINHTTP_OPERATION_CANCELLED);
        const DWORD after =
            closeTheHandle ? ERROR_INVALID_HANDLE : ERROR_WINHTTP_OPERATION_CANCELLED;
        EXPECT_EQ(receive(handles.webSocket).error, after) << "and fails at once afterwards";
        if (closeTheHandle) handles.webSocket = nullptr;
        EXPECT_TRUE(peer.waitForLine("done"));
    }
}

TEST(WebSocketOperationsTest, SendAfterOurCloseIsRefusedAndCloseGoesOutOnce) {
    PeerProcess peer("raw_peer.py", {"--answer-close"});
    Handles handles;
    ASSERT_TRUE(openWebSocket(handles, peer.port())) << GetLastError();
    char text[] = "hi";
    EXPECT_EQ(WinHttpWebSocketSend(handles.webSocket, WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE,
                                   text, 2),
              0u);
    EXPECT_EQ(WinHttpWebSocketSend(handles.webSocket, WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE,
                                   text, 1),
              0u);
    EXPECT_EQ(WinHttpWebSocketSend(handles.webSocket, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                   text + 1, 1),
              0u);
    EXPECT_EQ(WinHttpWebSocketClose(handles.webSocket, 1000, nullptr, 0), 0u);
    EXPECT_EQ(WinHttpWebSocketClose(handles.webSocket, 1000, nullptr, 0), 0u);
    EXPECT_EQ(WinHttpWebSocketSend(handles.webSocket, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                   text, 2),
              ERROR_INVALID_OPERATION);
    ASSERT_TRUE(peer.waitForLine("eof"));
    std::vector<std::string> frames;
    for (const std::string& line : peer.lines()) {
        if (line.rfind("frame", 0) == 0) frames.push_back(line);
    }
    EXPECT_EQ(frames, (std::vector<std::string>{"frame 2 2 6869", "frame 1 1 68", "frame 0 1 69",
                                                "frame 8 2 03e8"}));
}

TEST(WebSocketOperationsTest, ClosingTheRequestCancelsAConnectInProgress) {
    FullListener listener;
    Handles handles;
    handles.session = WinHttpOpen(u"agent", 0, nullptr, nullptr, 0);
    handles.connection = WinHttpConnect(handles.session, u"127.0.0.1",
                                        static_cast<INTERNET_PORT>(listener.port()), 0);
    handles.request =
        WinHttpOpenRequest(handles.connection, u"GET", u"/", nullptr, nullptr, nullptr, 0);
    ASSERT_TRUE(
        WinHttpSetOption(handles.request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0));
    auto sending = std::async(std::launch::async, [&] {
        const BOOL sent = WinHttpSendRequest(handles.request, nullptr, 0, nullptr, 0, 0, 0);
        return sent ? ERROR_SUCCESS : GetLastError();
    });
    ASSERT_EQ(sending.wait_for(300ms), std::future_status::timeout) << "the connect hangs";
    EXPECT_TRUE(WinHttpCloseHandle(handles.request));
    handles.request = nullptr;
    ASSERT_EQ(sending.wait_for(promptly), std::future_status::ready);
    EXPECT_EQ(sending.get(), ERROR_WINHTTP_OPERATION_CANCELLED);
}

// The handshake up to the response, with extra headers added before the request is sent.
bool receiveResponseWithHeaders(Handles& handles, int port, const char16_t* headers) {
    handles.session = WinHttpOpen(u"transport-test", 0, nullptr, nullptr, 0);
    handles.connection =
        WinHttpConnect(handles.session, u"127.0.0.1", static_cast<INTERNET_PORT>(port), 0);
    handles.request =
        WinHttpOpenRequest(handles.connection, u"GET", u"/", nullptr, nullptr, nullptr, 0);
    return handles.request &&
           WinHttpSetOption(handles.request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0) &&
           WinHttpAddRequestHeaders(handles.request, headers, static_cast<DWORD>(-1),
                                    WINHTTP_ADDREQ_FLAG_ADD) &&
           WinHttpSendRequest(handles.request, nullptr, 0, nullptr, 0, 0, 0) &&
           WinHttpReceiveResponse(handles.request, nullptr);
}

TEST(HandshakeOperationsTest, AddRequestHeadersRefusesWhatCouldBreakTheRequest) {
    Handles handles;
    handles.session = WinHttpOpen(u"agent", 0, nullptr, nullptr, 0);
    handles.connection = WinHttpConnect(handles.session, u"127.0.0.1", 9, 0);
    handles.request =
        WinHttpOpenRequest(handles.connection, u"GET", u"/", nullptr, nullptr, nullptr, 0);
    ASSERT_NE(handles.request, nullptr);
    for (const char16_t* refused : {u"X-A", u"X-A: 1\r\nX-B", u"X-A: 1\nX-B: 2", u"Host: other",
                                    u"Sec-WebSocket-Protocol: a b", u"X-\u00e9: 1"}) {
        SCOPED_TRACE(std::string(refused, refused + std::char_traits<char16_t>::length(refused)));
        EXPECT_FALSE(WinHttpAddRequestHeaders(handles.request, refused, static_cast<DWORD>(-1),
                                              WINHTTP_ADDREQ_FLAG_ADD));
        EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INVALID_HEADER);
    }
    EXPECT_FALSE(WinHttpAddRequestHeaders(handles.request, u"X-A: 1", 6, 0x80000000));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "only adding is implemented";
    // The length counts code units; the rest of the text is not looked at.
    EXPECT_TRUE(WinHttpAddRequestHeaders(handles.request, u"X-A: 1\r\nHost: other", 6,
                                         WINHTTP_ADDREQ_FLAG_ADD));
}

TEST(HandshakeOperationsTest, AddedHeadersGoOutAndResponseHeadersCanBeQueried) {
    PeerProcess peer("raw_peer.py", {"--protocol", "chat"});
    Handles handles;
    ASSERT_TRUE(receiveResponseWithHeaders(handles, peer.port(),
                                           u"Sec-WebSocket-Protocol: chat\r\nX-Id: 7\r\n"))
        << GetLastError();
    EXPECT_TRUE(peer.waitForLine("header sec-websocket-protocol chat"));
    EXPECT_TRUE(peer.waitForLine("header x-id 7"));
    EXPECT_FALSE(WinHttpAddRequestHeaders(handles.request, u"X-Late: 1", static_cast<DWORD>(-1),
                                          WINHTTP_ADDREQ_FLAG_ADD));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_OPERATION) << "too late once the request is sent";

    char16_t value[16] = {};
    DWORD bytes = sizeof value;
    DWORD index = 0;
    ASSERT_TRUE(WinHttpQueryHeaders(handles.request, WINHTTP_QUERY_CUSTOM,
                                    u"sec-websocket-protocol", value, &bytes, &index));
    EXPECT_EQ(std::u16string(value), u"chat");
    EXPECT_EQ(bytes, 4 * sizeof(char16_t)) << "the length without the terminator";
    EXPECT_EQ(index, 1u) << "the index moves to the next header of that name";
    bytes = sizeof value;
    EXPECT_FALSE(WinHttpQueryHeaders(handles.request, WINHTTP_QUERY_CUSTOM,
                                     u"Sec-WebSocket-Protocol", value, &bytes, &index));
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_HEADER_NOT_FOUND);
    bytes = 2;
    EXPECT_FALSE(WinHttpQueryHeaders(handles.request, WINHTTP_QUERY_CUSTOM,
                                     u"Sec-WebSocket-Protocol", value, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(bytes, 5 * sizeof(char16_t)) << "the size needed, terminator included";

    handles.webSocket = WinHttpWebSocketCompleteUpgrade(handles.request, 0);
    EXPECT_NE(handles.webSocket, nullptr) << "the selected subprotocol was offered";
}

TEST(WebSocketOperationsTest, QueryCloseStatusGivesTheServersCloseOnceItCame) {
    PeerProcess peer("ws_peer.py", {"await=1", "close=4001:done here"});
    Handles handles;
    ASSERT_TRUE(openWebSocket(handles, peer.port())) << GetLastError();
    USHORT code = 0;
    char reason[WINHTTP_WEB_SOCKET_MAX_CLOSE_REASON_LENGTH];
    DWORD length = 0;
    EXPECT_EQ(
        WinHttpWebSocketQueryCloseStatus(handles.webSocket, &code, reason, sizeof reason, &length),
        ERROR_INVALID_OPERATION)
        << "no close yet";
    char go[] = "go";
    ASSERT_EQ(
        WinHttpWebSocketSend(handles.webSocket, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE, go, 2),
        0u);
    EXPECT_EQ(receive(handles.webSocket).type, WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE);
    ASSERT_EQ(
        WinHttpWebSocketQueryCloseStatus(handles.webSocket, &code, reason, sizeof reason, &length),
        0u);
    EXPECT_EQ(code, 4001);
    EXPECT_EQ(std::string(reason, length), "done here");
    EXPECT_EQ(WinHttpWebSocketQueryCloseStatus(handles.webSocket, &code, reason, 4, &length),
              ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(WinHttpWebSocketQueryCloseStatus(handles.webSocket, nullptr, reason, sizeof reason,
                                               &length),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WinHttpWebSocketClose(handles.webSocket, 1000, nullptr, 0), 0u);
    EXPECT_EQ(
        WinHttpWebSocketQueryCloseStatus(handles.webSocket, &code, reason, sizeof reason, &length),
        0u)
        << "still there after our reply";
    EXPECT_EQ(code, 4001);
}

}  // namespace
