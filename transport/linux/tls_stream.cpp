#include "transport/linux/tls_stream.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdint>
#include <mutex>

#include "transport/linux/time_limits.h"

namespace wsbridge::transport {
namespace {

// ALPN protocol list, length-prefixed (RFC 7301 3.1): the upgrade is an HTTP/1.1 request.
inline constexpr unsigned char alpnHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
// OpenSSL's buffer for encrypted input: room for several full records (RFC 8446 5.1: at most
// 16 KiB of plaintext each) per socket read.
inline constexpr std::size_t tlsReadBufferSize = 64 * 1024;

// What a BIO reads and writes: the socket, and what was read from it before TLS began.
struct BioSocket {
    int fd;
    ReadAhead readAhead;
};

BioSocket& socketOf(BIO* bio) {
    return *static_cast<BioSocket*>(BIO_get_data(bio));
}

int clampToInt(std::size_t size) {
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

// A socket BIO of our own: OpenSSL's would write with write(2), and a write to a peer that has
// gone would then raise SIGPIPE in the host process.
int bioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    const IoResult result = sendSome(socketOf(bio).fd, data, static_cast<std::size_t>(size));
    if (result.status == IoStatus::Done) return static_cast<int>(result.bytes);
    if (result.status == IoStatus::WouldBlock) BIO_set_retry_write(bio);
    return -1;
}

int bioRead(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    BioSocket& socket = socketOf(bio);
    const IoResult result =
        socket.readAhead.receive(socket.fd, buffer, static_cast<std::size_t>(size));
    if (result.status == IoStatus::Done) return static_cast<int>(result.bytes);
    if (result.status == IoStatus::Closed) return 0;
    if (result.status == IoStatus::WouldBlock) BIO_set_retry_read(bio);
    return -1;
}

long bioControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int bioDestroy(BIO* bio) {
    delete static_cast<BioSocket*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

BIO_METHOD* makeSocketBioMethod() {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "wsbridge");
    if (made) {
        BIO_meth_set_write(made, bioWrite);
        BIO_meth_set_read(made, bioRead);
        BIO_meth_set_ctrl(made, bioControl);
        BIO_meth_set_create(made, bioCreate);
        BIO_meth_set_destroy(made, bioDestroy);
    }
    return made;
}

SSL_CTX* makeClientContext() {
    if (!prepareOpenSsl()) return nullptr;
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) return nullptr;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(context);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_alpn_protos(context, alpnHttp11, sizeof alpnHttp11);
    // Writes may complete partly and be retried from another place in the same buffer, so that a
    // send can give the lock up while it waits for the socket.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Without read-ahead every record costs two reads of the socket, its 5-byte header and then
    // its body; with it one read takes in as many records as the buffer holds. Safe here because
    // every caller reads until the stream would block before it waits on the socket, so bytes
    // held inside OpenSSL are never left waiting for a poll.
    SSL_CTX_set_read_ahead(context, 1);
    SSL_CTX_set_default_read_buffer_len(context, tlsReadBufferSize);
    return context;
}

// The client context and the BIO method, made at the first secure connection and shared by all.
// Freed when the library's static objects are destroyed (at dlclose and at process exit), after
// the bridge's unload hook has closed the last connection: priority 101 builds this before, and
// so destroys it after, every default-priority object of the library.
class ProcessTlsObjects {
  public:
    ProcessTlsObjects() = default;
    ProcessTlsObjects(const ProcessTlsObjects&) = delete;
    ProcessTlsObjects& operator=(const ProcessTlsObjects&) = delete;
    ~ProcessTlsObjects() {
        if (context_) SSL_CTX_free(context_);
        if (bioMethod_) BIO_meth_free(bioMethod_);
    }

    SSL_CTX* context() {
        std::call_once(made_, [this] { make(); });
        return context_;
    }
    BIO_METHOD* bioMethod() {
        std::call_once(made_, [this] { make(); });
        return bioMethod_;
    }

  private:
    void make() {
        context_ = makeClientContext();
        bioMethod_ = makeSocketBioMethod();
    }

    std::once_flag made_;
    SSL_CTX* context_ = nullptr;
    BIO_METHOD* bioMethod_ = nullptr;
};

ProcessTlsObjects tlsObjects __attribute__((init_priority(101)));

SSL_CTX* clientContext() {
    return tlsObjects.context();
}

BIO_METHOD* socketBioMethod() {
    return tlsObjects.bioMethod();
}

bool isAddressLiteral(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// RFC 6066 3: SNI carries host names only, never address literals.
bool expectPeer(SSL* ssl, const std::string& host) {
    if (isAddressLiteral(host)) {
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    }
    return SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 &&
           SSL_set1_host(ssl, host.c_str()) == 1;
}

struct SslDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslPointer = std::unique_ptr<SSL, SslDeleter>;

class TlsStream final : public ByteStream {
  public:
    TlsStream(UniqueFd socket, SslPointer ssl)
        : ByteStream(std::move(socket)), ssl_(std::move(ssl)) {}

    IoResult read(void* buffer, std::size_t size) override {
        ERR_clear_error();
        const int got = SSL_read(ssl_.get(), buffer, clampToInt(size));
        if (got > 0) return {IoStatus::Done, static_cast<std::size_t>(got), Direction::Read};
        return failure(got);
    }

    IoResult write(const void* data, std::size_t size) override {
        ERR_clear_error();
        const int sent = SSL_write(ssl_.get(), data, clampToInt(size));
        if (sent > 0) return {IoStatus::Done, static_cast<std::size_t>(sent), Direction::Write};
        return failure(sent);
    }

    void shutdown() override {
        // A close_notify may not follow a fatal error; otherwise one attempt, never a wait.
        if (!fatal_) {
            ERR_clear_error();
            SSL_shutdown(ssl_.get());
        }
        ByteStream::shutdown();
    }

  private:
    IoResult failure(int result) {
        switch (SSL_get_error(ssl_.get(), result)) {
            case SSL_ERROR_WANT_READ:
                return {IoStatus::WouldBlock, 0, Direction::Read};
            case SSL_ERROR_WANT_WRITE:
                return {IoStatus::WouldBlock, 0, Direction::Write};
            case SSL_ERROR_ZERO_RETURN:
                return {IoStatus::Closed, 0, Direction::Read};
            default:
                fatal_ = true;
                return {IoStatus::Failed, 0, Direction::Read};
        }
    }

    SslPointer ssl_;
    bool fatal_ = false;
};

DWORD runHandshake(SSL* ssl, int fd, const WakeEvent& cancel) {
    const Deadline deadline = deadlineAfter(timeLimit::tlsHandshake);
    for (;;) {
        ERR_clear_error();
        const int result = SSL_connect(ssl);
        if (result == 1) return ERROR_SUCCESS;
        Direction direction = Direction::Read;
        switch (SSL_get_error(ssl, result)) {
            case SSL_ERROR_WANT_READ:
                break;
            case SSL_ERROR_WANT_WRITE:
                direction = Direction::Write;
                break;
            default:
                return ERROR_WINHTTP_SECURE_FAILURE;
        }
        const Readiness ready = waitUntilReady(fd, direction, {&cancel}, deadline);
        if (ready != Readiness::Ready) return readinessError(ready, ERROR_WINHTTP_SECURE_FAILURE);
    }
}

}  // namespace

bool prepareOpenSsl() {
    // No atexit cleanup: the library may still close a TLS connection from a static destructor
    // at process exit, after handlers registered later than its load have run.
    static const bool ready = OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    return ready;
}

TlsStartResult startTls(UniqueFd socket, ReadAhead readAhead, const std::string& host,
                        const WakeEvent& cancel) {
    TlsStartResult result;
    result.error = ERROR_WINHTTP_SECURE_FAILURE;
    SSL_CTX* context = clientContext();
    BIO_METHOD* method = socketBioMethod();
    if (!context || !method) return result;
    SslPointer ssl(SSL_new(context));
    if (!ssl || !expectPeer(ssl.get(), host)) return result;
    auto bioSocket = std::make_unique<BioSocket>(BioSocket{socket.get(), std::move(readAhead)});
    BIO* bio = BIO_new(method);
    if (!bio) return result;
    BIO_set_data(bio, bioSocket.release());  // the BIO frees it (bioDestroy)
    SSL_set_bio(ssl.get(), bio, bio);        // the SSL object owns the BIO from here on
    result.error = runHandshake(ssl.get(), socket.get(), cancel);
    if (result.error == ERROR_SUCCESS) {
        result.stream = std::make_unique<TlsStream>(std::move(socket), std::move(ssl));
    }
    return result;
}

}  // namespace wsbridge::transport
