// A connected TCP socket, plain or under TLS, with the few blocking operations the loopback tools
// need. Owns the socket and the TLS object; both go with the channel.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

namespace loopback {

struct SslCtxFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslContext = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslHandle = std::unique_ptr<SSL, SslFree>;

// A server context with the certificate and key the bench script made.
SslContext makeServerContext(const std::string& certificateFile, const std::string& keyFile);
// A client context that trusts exactly `caFile` and checks the peer's address against it.
SslContext makeClientContext(const std::string& caFile);

class ByteChannel {
  public:
    explicit ByteChannel(int socket) : socket_(socket) {}
    ByteChannel(ByteChannel&& other) noexcept;
    ByteChannel& operator=(ByteChannel&&) = delete;
    ByteChannel(const ByteChannel&) = delete;
    ByteChannel& operator=(const ByteChannel&) = delete;
    ~ByteChannel();

    // TLS handshake on the connected socket; false if it failed.
    bool acceptTls(SSL_CTX* context);
    bool connectTls(SSL_CTX* context, const std::string& peerAddress);

    // Up to `size` bytes; 0 at end of stream, -1 on error or when the receive time-out passed.
    long readSome(char* data, std::size_t size);
    bool writeAll(const char* data, std::size_t size);
    bool writeAll(const std::string& bytes) { return writeAll(bytes.data(), bytes.size()); }

    // Bounds every later read; 0 means no bound.
    void setReadTimeout(int milliseconds);
    void setNoDelay();
    // Sends the TLS close_notify (if any) and the TCP FIN.
    void shutdownWrite();

  private:
    int socket_;
    SslHandle ssl_;
};

// A blocking TCP connection to 127.0.0.1:port; -1 on failure.
int connectLoopback(int port);

}  // namespace loopback
