// Every way the protocol core can refuse a request, a response or a frame, with stable numbers.
// The numbers are never reused or renumbered: logs and tests may rely on them. What each error
// means to the peer (its close code) and its text are decided in one table, in
// protocol_error.cpp; the platform error number a transport reports it as, in the transport's.
#pragma once

#include <cstdint>

namespace wsbridge::protocol {

enum class ProtocolError : std::uint16_t {
    None = 0,

    // Building the upgrade request.
    InvalidHost = 1,          // empty, or holds a control character, space, '/' or '@'
    InvalidUserAgent = 2,     // holds a control character, so it could break the header
    RandomSourceFailed = 3,   // the CSPRNG could not supply a key
    InvalidExtraHeader = 20,  // an extra header that is malformed or that the request writes itself

    // The upgrade response (RFC 6455 4.1, RFC 9112).
    ResponseTooLarge = 10,  // header block over the bound; never grown beyond it
    MalformedStatusLine = 11,
    MalformedHeader = 12,
    NotSwitchingProtocols = 13,     // any status but 101
    MissingUpgradeHeader = 14,      // no "Upgrade: websocket"
    MissingConnectionUpgrade = 15,  // no "upgrade" token in Connection
    BadAccept = 16,                 // Sec-WebSocket-Accept missing, repeated or wrong
    UnofferedExtension = 17,        // the server picked an extension we did not offer
    UnofferedSubprotocol = 18,      // the server picked a subprotocol we did not offer
    RepeatedSubprotocol = 19,       // Sec-WebSocket-Protocol more than once (RFC 6455 11.3.4)

    // Frames from the server (RFC 6455 5 and 7).
    ReservedBitsSet = 30,         // RSV1-3 without a negotiated extension (5.2)
    MaskedServerFrame = 31,       // a server must not mask (5.1)
    UnknownOpcode = 32,           // 5.2
    ControlFrameTooLong = 33,     // control payload over 125 bytes (5.5)
    FragmentedControlFrame = 34,  // control frame without FIN (5.5)
    UnexpectedContinuation = 35,  // continuation with no message open (5.4)
    DataFrameInsideMessage = 36,  // a new text/binary frame while a message is open (5.4)
    LengthTopBitSet = 37,         // 64-bit length with the most significant bit set (5.2)
    NonMinimalLength = 38,        // length not in its shortest form (5.2)
    InvalidUtf8 = 39,             // text message not UTF-8 (8.1)
    ClosePayloadTooShort = 40,    // a close payload of exactly 1 byte (5.5.1)
    InvalidCloseCode = 41,        // a close code that may not be sent (7.4)
    InvalidCloseReason = 42,      // a close reason that is not UTF-8 (5.5.1)

    // Sending to the server.
    ControlPayloadTooLong = 50,  // a pong or close payload over 125 bytes
    SendAfterClose = 51,         // our close is out, or the connection failed (RFC 6455 5.5.1)
    MessageTypeChanged = 52,     // a fragment of another kind than the message it continues (5.4)
    SendPending = 53,            // the previous data frame is not all written yet

    // A proxy's answer to CONNECT (RFC 9110 9.3.6); a malformed one fails as a response does.
    TunnelRefused = 60,                // a final status other than 2xx (and other than 407)
    ProxyAuthenticationRequired = 61,  // 407: no credentials, or the proxy refused them
    TooManyInterimResponses = 62,      // more 1xx heads before the final one than we wait for
};

// The close code to send when this error fails the connection (RFC 6455 7.4.1): 1007 for bad
// UTF-8, 1002 for other frame errors, 0 for errors that happen before the WebSocket is open.
std::uint16_t closeCodeFor(ProtocolError error);

// A short fixed ASCII description, for logs and test messages; never null.
const char* describe(ProtocolError error);

}  // namespace wsbridge::protocol
