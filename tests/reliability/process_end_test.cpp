// A host process that unloads the library or exits in the middle of a connection, and one that
// runs out of address space: each in a child process, so that a crash, a hang or a leak found at
// exit (ASan's leak check runs there) shows as that child's failure.
#include <gtest/gtest.h>

#include <cstdlib>

#include "child_process.h"
#include "loopback_server.h"
#include "peer_process.h"
#include "test_certificates.h"

using namespace reliability;

namespace {

constexpr auto unloadLimit = 5s;            // a connected unload: close (1 s) and join
constexpr auto handshakeUnloadLimit = 15s;  // an unload during the handshake waits for it (10 s)
constexpr auto childLimit = 60s;

struct ProcessEnd {
    const char* mode;
    bool serverAnswers;  // false: the server reads the request and never answers
    std::chrono::milliseconds bound;
};

constexpr ProcessEnd processEnds[] = {
    {"unload-connected", true, unloadLimit},
    {"unload-connecting", false, handshakeUnloadLimit},
    {"exit-connected", true, unloadLimit},
    {"exit-connecting", false, handshakeUnloadLimit},
};

TEST(ProcessEndTest, UnloadOrExitEndsTheConnectionPromptlyAndCleanly) {
    for (const ProcessEnd& end : processEnds) {
        LoopbackServer server([&](ServerConnection& connection) {
            if (end.serverAnswers) {
                if (connection.acceptUpgrade()) connection.serveUntilClose();
            } else if (connection.readRequestOnly()) {
                connection.waitForClientEnd(30s);
            }
        });
        const ChildResult child = runChild(
            {UNLOAD_PROBE, LIBRARY_PATH, end.mode, std::to_string(server.port())}, childLimit);
        EXPECT_TRUE(child.exited) << end.mode;
        EXPECT_EQ(child.exitCode, 0) << end.mode;
        EXPECT_LT(child.took, end.bound) << end.mode;
        EXPECT_TRUE(server.waitForClientsEnded(1)) << end.mode << ": the server sees the end";
    }
}

TEST(ProcessEndTest, UnloadRightAfterAFailedHandshake) {
    LoopbackServer server([](ServerConnection& connection) {
        std::string request;
        if (connection.readRequestOnly()) {
            connection.send("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
            connection.waitForClientEnd();
        }
    });
    const ChildResult child = runChild(
        {UNLOAD_PROBE, LIBRARY_PATH, "unload-failed", std::to_string(server.port())}, childLimit);
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_LT(child.took, unloadLimit);
    EXPECT_TRUE(server.waitForClientsEnded(1));
}

// A TLS connection leaves the library's TLS context behind as well; unloading frees it too.
TEST(ProcessEndTest, UnloadWhileConnectedOverTls) {
    const integration::TestCertificates certificates = integration::makeTestCertificates();
    ::setenv("SSL_CERT_FILE", certificates.caFile.c_str(), 1);  // inherited by the probe
    {
        integration::PeerProcess peer("ws_peer.py", {"--cert", certificates.serverCert, "--key",
                                                     certificates.serverKey, "echo"});
        const ChildResult child = runChild(
            {UNLOAD_PROBE, LIBRARY_PATH, "unload-connected", std::to_string(peer.port()), "tls"},
            childLimit);
        EXPECT_TRUE(child.exited);
        EXPECT_EQ(child.exitCode, 0);
        EXPECT_LT(child.took, unloadLimit);
        EXPECT_TRUE(peer.waitForLine("close 1000")) << "the unload closed the connection";
    }
    ::unsetenv("SSL_CERT_FILE");
    integration::removeTestCertificates(certificates);
}

// The address space is limited to what the probe uses plus this much; the server's message is
// many times larger. Under the sanitizers the limit cannot be set (their shadow memory reserves
// terabytes of address space), so the test does not run there.
constexpr int headroomMiB = 256;
constexpr std::uint64_t messageSize = std::uint64_t{4} << 30;

TEST(ProcessEndTest, MessageBeyondTheAddressSpaceEndsTheWorkerAndLeavesTheHostWorking) {
    if (sanitized) GTEST_SKIP() << "an address-space limit cannot be set under a sanitizer";
    LoopbackServer server([](ServerConnection& connection) {
        if (!connection.acceptUpgrade() || !connection.send(frameHeader(opText, messageSize))) {
            return;
        }
        const std::string block(1 << 20, 'm');
        for (std::uint64_t sent = 0; sent < messageSize; sent += block.size()) {
            if (!connection.send(block)) break;  // the client has gone
        }
        connection.waitForClientEnd();
    });
    const ChildResult child =
        runChild({MEMORY_LIMIT_PROBE, std::to_string(server.port()), std::to_string(headroomMiB)},
                 childLimit);
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_EQ(child.output,
              "0 WebSocketReceive failed: out of memory\n"
              "has 0 read 0 send 0\n"
              "disconnect 0 status 0\n");
    EXPECT_TRUE(server.waitForClientsEnded(1)) << "the connection was ended";
}

}  // namespace
