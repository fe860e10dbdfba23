// The benchmark's WebSocket server on 127.0.0.1, built never to be the bottleneck: frames are
// built once and written in large batches, each connection has a thread of its own.
//
//   loopback_server stream --count N --size S [--fragment F] [--start-delay-ms D]
//       after the upgrade, N text messages of S bytes (in frames of F bytes when F is given),
//       then a close with status 1000
//   loopback_server echo       answers each message with the same message, pings with pongs,
//                              a close with a close
//   loopback_server silent     reads and drops everything and never answers the close
// Common: [--port P] [--tls-cert FILE --tls-key FILE] [--lifetime-seconds L]
// It prints "port P" once it listens, and ends by itself after L seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "byte_channel.h"
#include "command_line.h"
#include "frame_layout.h"
#include "payload_pattern.h"
#include "upgrade_exchange.h"

namespace loopback {
namespace {

inline constexpr std::size_t targetBatchBytes = 1 << 20;  // one write call carries about this
inline constexpr std::size_t readChunkSize = 1 << 16;
inline constexpr int closeReplyWaitMs = 5000;  // how long a stream waits for the client's close
inline constexpr int listenBacklog = 64;
inline constexpr std::uint64_t defaultLifetimeSeconds = 900;

enum class Mode { Stream, Echo, Silent };

struct ServerConfig {
    Mode mode = Mode::Echo;
    Fragmentation layout;
    std::uint64_t count = 0;
    std::uint64_t startDelayMs = 0;
};

// COUNT messages are written as repeats of one pre-built batch whose sequence numbers are
// rewritten before each write. It is built once at start; each connection works on its own copy.
class StreamBatch {
  public:
    StreamBatch(const Fragmentation& layout, std::uint64_t count) : layout_(layout) {
        const std::uint64_t perMessage = layout.wireBytes();
        messages_ = std::max<std::uint64_t>(1, targetBatchBytes / perMessage);
        messages_ = std::min<std::uint64_t>(messages_, std::max<std::uint64_t>(count, 1));
        std::string payload(layout.size, '\0');
        fillPattern(payload.data(), payload.size());
        bytes_.reserve(messages_ * perMessage);
        for (std::uint64_t m = 0; m < messages_; ++m) appendMessage(payload);
    }

    std::uint64_t messages() const { return messages_; }

    // The bytes of `n` messages (n <= messages()) numbered from `firstSequence`.
    std::string_view prepare(std::uint64_t firstSequence, std::uint64_t n) {
        for (std::uint64_t k = 0; k < n; ++k)
            stampSequence(bytes_.data() + payloadStarts_[k], layout_.size, firstSequence + k);
        return std::string_view(bytes_.data(), n * layout_.wireBytes());
    }

  private:
    void appendMessage(const std::string& payload) {
        std::uint64_t offset = 0;
        const std::uint64_t pieces = layout_.pieces();
        for (std::uint64_t i = 0; i < pieces; ++i) {
            const std::uint64_t length = layout_.pieceLength(i);
            const std::uint8_t opcode = i == 0 ? opText : opContinuation;
            appendFrameHeader(
                bytes_, static_cast<std::uint8_t>((i + 1 == pieces ? finBit : 0) | opcode), length);
            if (i == 0) payloadStarts_.push_back(bytes_.size());
            bytes_.append(payload, offset, length);
            offset += length;
        }
    }

    Fragmentation layout_;
    std::uint64_t messages_ = 1;
    std::string bytes_;
    std::vector<std::size_t> payloadStarts_;
};

// Reads until the client's close frame or the end of the stream, within the time-out.
void awaitClientClose(ByteChannel& channel, ClientFrameReader& reader) {
    channel.setReadTimeout(closeReplyWaitMs);
    std::vector<char> chunk(readChunkSize);
    for (;;) {
        while (auto frame = reader.next())
            if (frame->opcode == opClose) return;
        const long got = channel.readSome(chunk.data(), chunk.size());
        if (got <= 0) return;
        reader.feed(chunk.data(), static_cast<std::size_t>(got));
    }
}

void serveStream(ByteChannel& channel, const ServerConfig& config, StreamBatch& batch,
                 ClientFrameReader& reader) {
    if (config.startDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(config.startDelayMs));
    for (std::uint64_t sent = 0; sent < config.count;) {
        const std::uint64_t n = std::min(batch.messages(), config.count - sent);
        const std::string_view bytes = batch.prepare(sent, n);
        if (!channel.writeAll(bytes.data(), bytes.size())) return;
        sent += n;
    }
    if (!channel.writeAll(closeFrame())) return;
    awaitClientClose(channel, reader);
}

// One pass over whatever frames have arrived: replies are gathered and written at once.
// Returns false once the client's close was answered.
bool answerFrames(ClientFrameReader& reader, std::string& message, std::uint8_t& messageOpcode,
                  std::string& replies) {
    while (auto frame = reader.next()) {
        switch (frame->opcode) {
            case opClose:
                appendFrameHeader(replies, finBit | opClose, frame->payload.size());
                replies += frame->payload;
                return false;
            case opPing:
                appendFrameHeader(replies, finBit | opPong, frame->payload.size());
                replies += frame->payload;
                break;
            case opPong:
                break;
            default:
                if (frame->opcode != opContinuation) messageOpcode = frame->opcode;
                message += frame->payload;
                if (frame->fin) {
                    appendFrameHeader(replies, finBit | messageOpcode, message.size());
                    replies += message;
                    message.clear();
                }
        }
    }
    return true;
}

void serveEcho(ByteChannel& channel, ClientFrameReader& reader) {
    channel.setNoDelay();
    std::vector<char> chunk(readChunkSize);
    std::string message;
    std::string replies;
    std::uint8_t messageOpcode = opText;
    for (bool open = true; open;) {
        replies.clear();
        open = answerFrames(reader, message, messageOpcode, replies);
        if (!replies.empty() && !channel.writeAll(replies)) return;
        if (!open) break;
        const long got = channel.readSome(chunk.data(), chunk.size());
        if (got <= 0) return;
        reader.feed(chunk.data(), static_cast<std::size_t>(got));
    }
}

// After our side is shut, whatever the client still sends (a TLS close_notify after its close
// frame) is read until it closes too: closing a socket with unread bytes would reset the
// connection, and a peer would see the reset instead of a clean close.
void drainUntilEnd(ByteChannel& channel) {
    channel.setReadTimeout(closeReplyWaitMs);
    std::vector<char> chunk(readChunkSize);
    while (channel.readSome(chunk.data(), chunk.size()) > 0) {
    }
}

void serveSilent(ByteChannel& channel) {
    std::vector<char> chunk(readChunkSize);
    while (channel.readSome(chunk.data(), chunk.size()) > 0) {
    }
}

void serveConnection(int socket, const ServerConfig& config, const StreamBatch* prebuilt,
                     SSL_CTX* tls) {
    ByteChannel channel(socket);
    if (tls && !channel.acceptTls(tls)) return;
    std::string leftover;
    if (!acceptUpgrade(channel, leftover)) return;
    ClientFrameReader reader;
    reader.feed(leftover.data(), leftover.size());
    switch (config.mode) {
        case Mode::Stream: {
            StreamBatch batch(*prebuilt);
            serveStream(channel, config, batch, reader);
            break;
        }
        case Mode::Echo:
            serveEcho(channel, reader);
            break;
        case Mode::Silent:
            serveSilent(channel);
            return;  // the client's socket goes first; ours only after it
    }
    channel.shutdownWrite();
    drainUntilEnd(channel);
}

int listenLoopback(int port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, listenBacklog) != 0) {
        return -1;
    }
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("port %d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    return listener;
}

bool parseMode(const std::string& name, Mode& mode) {
    if (name == "stream")
        mode = Mode::Stream;
    else if (name == "echo")
        mode = Mode::Echo;
    else if (name == "silent")
        mode = Mode::Silent;
    else
        return false;
    return true;
}

int run(int argc, char** argv) {
    CommandLine options(argc, argv,
                        {"port", "count", "size", "fragment", "start-delay-ms", "tls-cert",
                         "tls-key", "lifetime-seconds"});
    ServerConfig config;
    config.count = options.number("count", 0);
    config.layout.size = options.number("size", 0);
    config.layout.fragmentSize = options.number("fragment", 0);
    config.startDelayMs = options.number("start-delay-ms", 0);
    const auto port = static_cast<int>(options.number("port", 0));
    const auto lifetime = options.number("lifetime-seconds", defaultLifetimeSeconds);
    const bool fragmentTooSmall =
        config.layout.fragmentSize != 0 && config.layout.fragmentSize < sequenceDigits;
    if (!options.valid() || !parseMode(options.mode(), config.mode) || fragmentTooSmall) {
        std::fprintf(stderr, "usage: loopback_server stream|echo|silent [--option value]...\n");
        return 2;
    }
    SslContext tls;
    if (!options.text("tls-cert").empty()) {
        tls = makeServerContext(options.text("tls-cert"), options.text("tls-key"));
        if (!tls) {
            std::fprintf(stderr, "loopback_server: cannot load the certificate or key\n");
            return 1;
        }
    }
    std::unique_ptr<StreamBatch> prebuilt;
    if (config.mode == Mode::Stream)
        prebuilt = std::make_unique<StreamBatch>(config.layout, config.count);
    ::signal(SIGPIPE, SIG_IGN);
    ::alarm(static_cast<unsigned>(lifetime));  // never outlives a forgotten bench run
    const int listener = listenLoopback(port);
    if (listener < 0) {
        std::perror("loopback_server: listen");
        return 1;
    }
    for (;;) {
        const int socket = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) continue;
        std::thread(serveConnection, socket, config, prebuilt.get(), tls.get()).detach();
    }
}

}  // namespace
}  // namespace loopback

int main(int argc, char** argv) {
    return loopback::run(argc, argv);
}
