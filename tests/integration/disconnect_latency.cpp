// Measures how long WsDisconnect takes on a live connection, against a server that answers our
// close at once (python3-websockets) and one that never answers it (raw_peer.py). Not a test:
// it prints the figures, also over TLS. Usage: disconnect_latency [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bridge_client.h"
#include "peer_process.h"
#include "test_certificates.h"

using namespace integration;

namespace {

inline constexpr int defaultRounds = 20;

void measure(const char* label, const std::string& script, const std::vector<std::string>& args,
             int rounds, bool secure = false) {
    PeerProcess peer(script, args);
    std::vector<double> milliseconds;
    for (int round = 0; round < rounds; ++round) {
        if (connectAndWait("localhost", peer.port(), "/", secure) != WS_STATUS_CONNECTED) {
            std::printf("%s: round %d did not connect: %s\n", label, round,
                        lastErrorText().c_str());
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        WsDisconnect();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        milliseconds.push_back(took.count());
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("%-28s rounds %3d  min %8.2f ms  median %8.2f ms  max %8.2f ms\n", label, rounds,
                milliseconds.front(), milliseconds[milliseconds.size() / 2], milliseconds.back());
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::stoi(argv[1])) : defaultRounds;
    measure("server answers the close", "ws_peer.py", {"hold"}, rounds);
    measure("server never answers", "raw_peer.py", {}, rounds);
    const TestCertificates certificates = makeTestCertificates();
    ::setenv("SSL_CERT_FILE", certificates.caFile.c_str(), 1);
    measure("TLS, server answers", "ws_peer.py",
            {"--cert", certificates.serverCert, "--key", certificates.serverKey, "hold"}, rounds,
            true);
    integration::removeTestCertificates(certificates);
    return 0;
}
