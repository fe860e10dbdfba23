#include "peer_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

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
    reader_ = std::thread([this] { readLines(); });
    std::unique_lock<std::mutex> lock(lock_);
    arrived_.wait_for(lock, peerStartLimit, [this] { return !lines_.empty() || ended_; });
    if (lines_.empty()) {
        lock.unlock();
        stop();
        throw std::runtime_error("peer " + script + " did not start");
    }
    port_ = std::stoi(lines_.front());
}

PeerProcess::~PeerProcess() {
    stop();
}

void PeerProcess::stop() {
    if (toPeer_ < 0) return;
    ::close(toPeer_);  // the peer exits when its stdin ends
    toPeer_ = -1;
    const auto deadline = std::chrono::steady_clock::now() + stopLimit;
    while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(stopPollInterval);
    }
    reader_.join();  // the pipe's write end went with the peer
    ::close(fromPeer_);
}

void PeerProcess::readLines() {
    std::string partial;
    char chunk[readChunk];
    for (;;) {
        const ssize_t got = ::read(fromPeer_, chunk, sizeof chunk);
        if (got <= 0) break;
        partial.append(chunk, static_cast<std::size_t>(got));
        std::lock_guard<std::mutex> lock(lock_);
        std::size_t end;
        while ((end = partial.find('\n')) != std::string::npos) {
            lines_.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
        }
        arrived_.notify_all();
    }
    std::lock_guard<std::mutex> lock(lock_);
    ended_ = true;
    arrived_.notify_all();
}

std::optional<std::string> PeerProcess::waitForLine(const std::string& prefix,
                                                    std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(lock_);
    std::optional<std::string> found;
    arrived_.wait_for(lock, limit, [&] {
        for (std::size_t i = 1; i < lines_.size(); ++i) {
            if (lines_[i].rfind(prefix, 0) == 0) {
                found = lines_[i];
                return true;
            }
        }
        return ended_;
    });
    return found;
}

std::vector<std::string> PeerProcess::lines() {
    std::lock_guard<std::mutex> lock(lock_);
    return std::vector<std::string>(lines_.begin() + (lines_.empty() ? 0 : 1), lines_.end());
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
