// WsConnectWithHeaders over the fake transport: which header texts are refused (and then change
// nothing at all) and which reach the transport, as they were written.
#include <algorithm>

#include "tests/fake/bridge_fixture.h"

namespace {

using fake::Operation;

class RequestHeadersTest : public BridgeTest {
  protected:
    static std::size_t countOf(Operation operation) {
        const auto calls = fake().record().calls;
        return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), operation));
    }
};

std::u16string filler(std::size_t length) {
    return std::u16string(length, u'a');
}

}  // namespace

TEST_F(RequestHeadersTest, ARefusedTextChangesNothing) {
    const char16_t* const refused[] = {
        u"X-Token",             // no colon
        u"X Token: a",          // a space in the name
        u": a",                 // no name
        u"X-Token : a",         // whitespace before the colon
        u"X-T\u00f6ken: a",     // a name outside ASCII
        u"X-Token: a\rb",       // CR in a value
        u"X-Token: a\nb",       // LF in a value
        u"X-Token: a\x01",      // another control character
        u"X-Token: caf\u00e9",  // a value outside printable ASCII
        u"X-Token: a\x7f",      // DEL
        u"A: b\r\n\r\nC: d",    // an empty line between two
        u"A: b\r\n\r\n",        // an empty line at the end
        u"\r\n",                // an empty line alone
        u"Host: evil.test",     // the handshake's own headers, any case
        u"upgrade: h2c",
        u"Connection: close",
        u"SEC-WEBSOCKET-KEY: x",
        u"Sec-WebSocket-Version: 8",
        u"Sec-WebSocket-Accept: x",
        u"Sec-WebSocket-Extensions: permessage-deflate",
        u"Content-Length: 5",
        u"Transfer-Encoding: chunked",
        u"User-Agent: other",
        u"X-Ok: 1\r\nHost: evil.test",              // a refused line after a good one
        u"Sec-WebSocket-Protocol: chat superchat",  // not a list of tokens
        u"Sec-WebSocket-Protocol: chat,,superchat",
        u"Sec-WebSocket-Protocol:",
    };
    const std::u16string tooLong = u"X-Long: " + filler(8192 - 7);
    std::vector<std::u16string> rows(std::begin(refused), std::end(refused));
    rows.push_back(tooLong);

    fake::Script script;
    script.receives = {fake::text("queued")};
    connectWith(script, u"current.test");
    ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls == 2; }));
    const fake::Record before = fake().record();
    for (const std::u16string& headers : rows) {
        SCOPED_TRACE(std::string(headers.begin(), headers.end()));
        EXPECT_EQ(WsConnectWithHeaders(u"other.test", 80, u"/", 0, headers.c_str()), 0);
        EXPECT_EQ(WsGetStatus(), WS_STATUS_CONNECTED);
        EXPECT_EQ(lastError(), "Connected");
        EXPECT_EQ(fake().record().calls, before.calls) << "the connection was not touched";
        EXPECT_EQ(WsHasMessages(), 1) << "nor its queue";
    }
}

TEST_F(RequestHeadersTest, AnAcceptedTextReachesTheTransportAsWritten) {
    const std::u16string longest = u"X-Long: " + filler(8192 - 8);
    const std::u16string accepted[] = {
        u"Authorization: Bearer abc.def",
        u"Cookie: a=b; c=d\r\nOrigin: https://app.test\r\n",  // a final CR LF
        u"X-Empty:",
        u"X-Tab: a\tb",
        u"Sec-WebSocket-Protocol: chat, superchat\r\nsec-websocket-protocol: v2",
        longest,
    };
    for (const std::u16string& headers : accepted) {
        SCOPED_TRACE(std::string(headers.begin(), headers.end()).substr(0, 60));
        WsDisconnect();
        fake::Script script;
        script.responseProtocols = {u"v2"};
        fake().reset(script);
        ASSERT_EQ(WsConnectWithHeaders(u"server.test", 443, u"/", 1, headers.c_str()), 1);
        ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED)) << lastError();
        const fake::Record record = fake().record();
        EXPECT_EQ(record.addedHeaders, headers);
        EXPECT_EQ(record.addHeadersModifiers, WINHTTP_ADDREQ_FLAG_ADD);
    }
}

TEST_F(RequestHeadersTest, NoHeadersIsExactlyWsConnect) {
    connectWith(fake::Script{});
    ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls > 0; }));
    const std::vector<Operation> plain = fake().record().calls;
    EXPECT_EQ(countOf(Operation::AddRequestHeaders), 0u);
    EXPECT_EQ(countOf(Operation::QueryHeaders), 0u);
    for (const char16_t* none : {static_cast<const char16_t*>(nullptr), u""}) {
        WsDisconnect();
        fake().reset(fake::Script{});
        ASSERT_EQ(WsConnectWithHeaders(u"server.test", 443, u"/feed", 1, none), 1);
        ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls > 0; }));
        EXPECT_EQ(fake().record().calls, plain);
    }
}

TEST_F(RequestHeadersTest, ALaterWsConnectSendsNone) {
    WsDisconnect();
    fake().reset(fake::Script{});
    ASSERT_EQ(WsConnectWithHeaders(u"server.test", 443, u"/", 1, u"Authorization: x"), 1);
    ASSERT_TRUE(waitForStatus(WS_STATUS_CONNECTED));
    EXPECT_EQ(countOf(Operation::AddRequestHeaders), 1u);
    fake().reset(fake::Script{});
    ASSERT_EQ(WsConnect(u"server.test", 443, u"/", 1), 1);
    ASSERT_TRUE(fake().waitUntil([](const fake::Record& r) { return r.receiveCalls > 0; }));
    EXPECT_EQ(countOf(Operation::AddRequestHeaders), 0u);
}
