// The non-blocking moves of bytes between a byte stream and the connection's rules: what is read
// goes to the connection (through an inbox, or for a large payload straight into the caller's
// buffer), and the connection's output goes to the stream. Nothing here waits or locks: the
// WebSocket channel holds its I/O lock around every call and waits for the socket itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "transport/linux/byte_stream.h"
#include "transport/protocol/client_connection.h"

namespace wsbridge::transport {

class ConnectionStream {
  public:
    enum class Outcome { Delivered, ServerClosed, Failed, Broken, MustWait };

    struct Read {
        Outcome outcome = Outcome::MustWait;
        Direction waitFor = Direction::Read;  // MustWait: the readiness to wait for
        bool pongsQueued = false;             // to be written before reading on
        std::size_t bytes = 0;                // Delivered: the piece's size in the buffer
        protocol::PieceType pieceType = protocol::PieceType::BinaryMessage;
        protocol::ProtocolError error = protocol::ProtocolError::None;  // Failed
    };

    // frameBytes: what arrived after the upgrade response's header block.
    ConnectionStream(std::unique_ptr<ByteStream> stream, std::vector<std::uint8_t> frameBytes,
                     protocol::Duration keepaliveInterval);

    // Reads, while the stream has bytes, until there is an event for the caller (a piece in
    // buffer, at most length bytes; the server's close, again on every call once it came; a
    // failure), a pong to write, or nothing more to read now. A null buffer drains: data is read
    // and dropped.
    Read read(std::uint8_t* buffer, std::size_t length);

    // One write of the connection's output: up to the end of the queued data frame when
    // dataOnly, else of all of it. Nothing when there is nothing (more) to write or the stream
    // has ended. A write that fails ends the stream.
    std::optional<IoResult> writeSome(bool dataOnly);
    // After writing ended early: takes back a send none of which was written. False when a frame
    // was cut short, so that the stream can carry nothing more.
    bool abandonUnwritten();

    // The keepalive's turn, when the wait for traffic ran out: true when a pong was queued, to
    // be written. A writer at work right now is traffic enough (RFC 6455 5.5.3).
    bool queueKeepalive(bool writerBusy);

    protocol::ClientConnection& connection() { return connection_; }

    // Ends the stream in both directions, once. A failure, when given, is latched: the first one
    // is what every later operation reports.
    void end(DWORD failure = ERROR_SUCCESS);
    bool ended() const { return ended_; }
    DWORD failure() const { return failure_; }
    // What an operation on the ended stream reports: its failure, or a broken connection.
    DWORD endedWith() const {
        return failure_ != ERROR_SUCCESS ? failure_ : ERROR_WINHTTP_CONNECTION_ERROR;
    }

  private:
    bool decodeBuffered(std::uint8_t* buffer, std::size_t length, Read& read);
    void readDirect(std::uint8_t* buffer, std::size_t length, Read& read);
    bool refill(Read& read);

    std::unique_ptr<ByteStream> stream_;
    protocol::ClientConnection connection_;
    std::vector<std::uint8_t> inbox_;
    std::size_t inboxStart_ = 0;
    std::size_t inboxEnd_ = 0;
    // Set while large data frames arrive: the next refill reads only a frame header, so that the
    // payload after it goes straight into the caller's buffer instead of through inbox_.
    bool probeNextHeader_ = false;
    bool ended_ = false;
    DWORD failure_ = ERROR_SUCCESS;
};

}  // namespace wsbridge::transport
