// The Boost.Beast peer: a synchronous client written the way that library's examples are,
// measured on the same cases as our library.
//
//   beast_client stream --port P --count N --size S [--tls-ca FILE]
//   beast_client echo --port P --count N --size S [--warmup W] [--tls-ca FILE]
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "bench_report.h"
#include "command_line.h"
#include "payload_pattern.h"

namespace loopback {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

inline constexpr std::uint64_t maxMessageBytes = 256ull << 20;
inline constexpr const char* loopbackAddress = "127.0.0.1";

struct Case {
    std::string mode;
    int port = 0;
    std::uint64_t count = 0;
    std::size_t size = 0;
    std::uint64_t warmup = 0;
};

template <class Stream>
void openStream(websocket::stream<Stream>& ws, const Case& c) {
    ws.read_message_max(maxMessageBytes);
    ws.write_buffer_bytes(1 << 16);
    ws.handshake(std::string(loopbackAddress) + ":" + std::to_string(c.port), "/");
}

template <class Stream>
int receiveStream(websocket::stream<Stream>& ws, const Case& c, BenchClock::time_point start) {
    MessageChecker checker(c.size, c.count);
    beast::flat_buffer buffer;
    for (std::uint64_t sequence = 0; sequence < c.count; ++sequence) {
        ws.read(buffer);
        const auto data = buffer.cdata();
        if (!ws.got_text() ||
            !checker.check(static_cast<const char*>(data.data()), data.size(), sequence)) {
            std::fprintf(stderr, "beast_client: message %llu is wrong\n",
                         static_cast<unsigned long long>(sequence));
            return 1;
        }
        buffer.consume(buffer.size());
    }
    const double seconds = secondsSince(start);
    beast::error_code error;
    ws.read(buffer, error);  // the server's close: Beast answers it and reports `closed`
    if (error != websocket::error::closed) {
        std::fprintf(stderr, "beast_client: no close after the messages (%s)\n",
                     error.message().c_str());
        return 1;
    }
    reportStream(seconds, c.count, c.count * c.size);
    return 0;
}

template <class Stream>
int echoRoundTrips(websocket::stream<Stream>& ws, const Case& c) {
    ws.text(true);
    const std::string message = expectedMessage(c.size, 0);
    std::vector<double> roundTrips;
    roundTrips.reserve(c.count);
    beast::flat_buffer buffer;
    for (std::uint64_t i = 0; i < c.warmup + c.count; ++i) {
        const auto sent = BenchClock::now();
        ws.write(asio::buffer(message));
        ws.read(buffer);
        const double micros = secondsSince(sent) * 1e6;
        if (beast::buffers_to_string(buffer.cdata()) != message) {
            std::fprintf(stderr, "beast_client: echo %llu is wrong\n",
                         static_cast<unsigned long long>(i));
            return 1;
        }
        buffer.consume(buffer.size());
        if (i >= c.warmup) roundTrips.push_back(micros);
    }
    ws.close(websocket::close_code::normal);
    reportRoundTrips(roundTrips);
    return 0;
}

template <class Stream>
int runCase(websocket::stream<Stream>& ws, const Case& c, BenchClock::time_point start) {
    openStream(ws, c);
    return c.mode == "stream" ? receiveStream(ws, c, start) : echoRoundTrips(ws, c);
}

tcp::endpoint loopbackEndpoint(int port) {
    return tcp::endpoint(asio::ip::make_address(loopbackAddress),
                         static_cast<unsigned short>(port));
}

int runPlain(const Case& c) {
    asio::io_context io;
    const auto start = BenchClock::now();
    websocket::stream<tcp::socket> ws(io);
    ws.next_layer().connect(loopbackEndpoint(c.port));
    ws.next_layer().set_option(tcp::no_delay(true));
    return runCase(ws, c, start);
}

int runTls(const Case& c, const std::string& caFile) {
    asio::io_context io;
    asio::ssl::context tls(asio::ssl::context::tls_client);
    tls.load_verify_file(caFile);
    tls.set_verify_mode(asio::ssl::verify_peer);
    const auto start = BenchClock::now();
    websocket::stream<beast::ssl_stream<tcp::socket>> ws(io, tls);
    ws.next_layer().set_verify_callback(asio::ssl::host_name_verification(loopbackAddress));
    beast::get_lowest_layer(ws).connect(loopbackEndpoint(c.port));
    beast::get_lowest_layer(ws).set_option(tcp::no_delay(true));
    ws.next_layer().handshake(asio::ssl::stream_base::client);
    return runCase(ws, c, start);
}

int run(int argc, char** argv) {
    CommandLine options(argc, argv, {"port", "count", "size", "warmup", "tls-ca"});
    Case c;
    c.mode = options.mode();
    c.port = static_cast<int>(options.number("port", 0));
    c.count = options.number("count", 0);
    c.size = options.number("size", 0);
    c.warmup = options.number("warmup", 0);
    if (!options.valid() || (c.mode != "stream" && c.mode != "echo")) {
        std::fprintf(stderr, "usage: beast_client stream|echo --port P --count N --size S\n");
        return 2;
    }
    const std::string caFile = options.text("tls-ca");
    return caFile.empty() ? runPlain(c) : runTls(c, caFile);
}

}  // namespace
}  // namespace loopback

int main(int argc, char** argv) {
    try {
        return loopback::run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "beast_client: %s\n", error.what());
        return 1;
    }
}
