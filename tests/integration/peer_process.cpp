#include "peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace integration {
namespace {

inline constexpr auto stopLimit = 5s;
inline constexpr auto stopPollInterval = 10ms;
inline constexpr std::size_t readChunk = 65536;

std::string peerPath(const std::string& script) {
    return std::string(PEERS_DIR) + "/" + script;
}

}  // namespace

PeerProcess::PeerProcess(const std::string& script, const std::vector<std::string>& arguments) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> words{"/usr/bin/python3", peerPath(script)};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(input[0], STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    toPeer_ = input[1];
    fromPeer_ = output[0];
    const auto deadline = std::chrono::steady_clock::now() + peerStartLimit;
    while (lines_.empty() && std::chrono::steady_clock::now() < deadline) {
        if (!readAvailable(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()))) {
            break;
        }
    }
    if (lines_.empty()) throw std::runtime_error("peer " + script + " did not start");
    port_ = std::stoi(lines_.front());
    lines_.erase(lines_.begin());
}

PeerProcess::~PeerProcess() {
    ::close(toPeer_);  // the peer exits when its stdin ends
    const auto deadline = std::chrono::steady_clock::now() + stopLimit;
    while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(stopPollInterval);
    }
    ::close(fromPeer_);
}

bool PeerProcess::readAvailable(std::chrono::milliseconds limit) {
    pollfd polled{fromPeer_, POLLIN, 0};
    const int ready = ::poll(&polled, 1, static_cast<int>(limit.count()));
    if (ready <= 0) return false;
    char chunk[readChunk];
    const ssize_t got = ::read(fromPeer_, chunk, sizeof chunk);
    if (got <= 0) return false;
    partial_.append(chunk, static_cast<std::size_t>(got));
    std::size_t end;
    while ((end = partial_.find('\n')) != std::string::npos) {
        lines_.push_back(partial_.substr(0, end));
        partial_.erase(0, end + 1);
    }
    return true;
}

std::optional<std::string> PeerProcess::waitForLine(const std::string& prefix,
                                                    std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t checked = 0;
    for (;;) {
        for (; checked < lines_.size(); ++checked) {
            if (lines_[checked].rfind(prefix, 0) == 0) return lines_[checked];
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        readAvailable(left);
    }
}

std::vector<std::string> PeerProcess::lines() {
    while (readAvailable(0ms)) {
    }
    return lines_;
}

std::string hexOf(const std::string& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 0xF];
    }
    return hex;
}

std::string patternBytes(std::size_t length) {
    static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyz";
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = alphabet[i % 26];
    return bytes;
}

}  // namespace integration
