// A whole exchange with an independent WebSocket implementation (python3-websockets as the
// server, run as a program over files; no socket): it must accept our upgrade request and our
// masked frames, and we must accept its response and decode its frames.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/transport/protocol/protocol_test_support.h"
#include "transport/protocol/frame_encoder.h"
#include "transport/protocol/handshake_key.h"
#include "transport/protocol/path_escape.h"
#include "transport/protocol/upgrade_request.h"
#include "transport/protocol/upgrade_response.h"

namespace wsbridge::protocol::testing {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How the peer reports a frame it received: opcode, FIN, length and SHA-1 of the payload.
std::string frameLine(Opcode opcode, const std::string& payload) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), digest);
    static const char digits[] = "0123456789abcdef";
    std::string line =
        std::to_string(static_cast<int>(opcode)) + " 1 " + std::to_string(payload.size()) + " ";
    for (const unsigned char byte : digest) {
        line += digits[byte >> 4];
        line += digits[byte & 0x0F];
    }
    return line;
}

class PeerExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ =
            fs::path(::testing::TempDir()) / ("peer_exchange_" + std::to_string(::getpid()));
        fs::create_directories(directory_);
    }
    void TearDown() override { fs::remove_all(directory_); }

    // Runs the peer; returns the lines it printed about what it received.
    std::vector<std::string> runPeer(const std::string& request, const Bytes& clientFrames) {
        writeFile(directory_ / "request", bytesOf(request));
        writeFile(directory_ / "frames", clientFrames);
        const std::string command =
            "/usr/bin/python3 " PEER_SCRIPT " " + (directory_ / "request").string() + " " +
            (directory_ / "frames").string() + " " + (directory_ / "output").string() + " > " +
            (directory_ / "received").string();
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream received(directory_ / "received");
        std::vector<std::string> lines;
        for (std::string line; std::getline(received, line);) lines.push_back(line);
        return lines;
    }

    Bytes serverOutput() { return readFile(directory_ / "output"); }

  private:
    fs::path directory_;
};

TEST_F(PeerExchangeTest, HandshakeAndFramesBothWays) {
    const std::optional<std::string> key = makeClientKey(systemRandomSource());
    ASSERT_TRUE(key);
    const std::string requestTarget = escapeRequestPath("/peer check?name=\xC3\xA9");
    const std::string request =
        buildUpgradeRequest({"localhost", 9001, false, requestTarget, "wsbridge-test/1.0"}, *key);

    const std::string binaryPayload(70'000, 'b');  // a 64-bit length
    ByteBuffer frames;
    RandomSource& random = systemRandomSource();
    ASSERT_EQ(appendFrame(frames, Opcode::Text, bytesOf("h\xC3\xA9llo"), random),
              ProtocolError::None);
    ASSERT_EQ(appendFrame(frames, Opcode::Binary, bytesOf(binaryPayload), random),
              ProtocolError::None);
    ASSERT_EQ(appendPong(frames, bytesOf("are you there"), random), ProtocolError::None);
    ASSERT_EQ(appendClose(frames, 1000, "done", random), ProtocolError::None);

    const std::vector<std::string> received = runPeer(request, frames);
    const std::vector<std::string> expectedReceived{
        frameLine(Opcode::Text, "h\xC3\xA9llo"),
        frameLine(Opcode::Binary, binaryPayload),
        frameLine(Opcode::Pong, "are you there"),
        frameLine(Opcode::Close,
                  "\x03\xE8"
                  "done"),
    };
    EXPECT_EQ(received, expectedReceived);

    // The peer's side: its 101 response, then its frames, then its answer to our close.
    const Bytes output = serverOutput();
    UpgradeResponseParser parser(*key);
    const ParseResult result = parser.feed(output);
    ASSERT_EQ(result.status, ParseStatus::Done) << describe(result.error);
    const Bytes stream(output.begin() + static_cast<std::ptrdiff_t>(result.consumed), output.end());
    std::string binaryFromPeer;
    for (int i = 0; i < 2; ++i) {
        for (int byte = 0; byte < 256; ++byte) binaryFromPeer += static_cast<char>(byte);
    }
    const std::vector<Decoded> expectedEvents{ping("are you there"),
                                              text("Hello, w\xC3\xB6rld \xE2\x82\xAC"),
                                              binary(binaryFromPeer), closed(1000, "done")};
    EXPECT_EQ(decodeWhole(stream), expectedEvents);
    EXPECT_EQ(decodeBytewise(stream), expectedEvents);
}

}  // namespace
}  // namespace wsbridge::protocol::testing
