#include "loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>
#include <cerrno>
#include <fstream>
#include <stdexcept>

#include "peer_handshake.h"

namespace reliability {
namespace {

constexpr std::size_t readChunk = 64 * 1024;
constexpr int listenBacklog = 64;
constexpr auto pollSlice = 50ms;  // how often a blocked wait looks at the stop flag

bool waitReadable(int fd, std::chrono::milliseconds limit, const std::atomic<bool>& stopping,
                  short events = POLLIN) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!stopping) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, pollSlice).count()));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    return false;
}

std::int64_t statusField(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) == 0) return std::stoll(line.substr(name.size() + 1));
    }
    return -1;
}

}  // namespace

bool ServerConnection::readSome(std::string& into, std::chrono::milliseconds limit) {
    if (!waitReadable(fd_, limit, stopping_)) return false;
    char buffer[readChunk];
    const ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
    if (count <= 0) {
        clientEnded_ = true;
        return false;
    }
    into.append(buffer, static_cast<std::size_t>(count));
    return true;
}

bool ServerConnection::readHeaderBlock(std::string& request) {
    std::optional<std::size_t> end;
    while (!(end = peers::headerBlockEnd(pending_))) {
        if (pending_.size() > peers::maxRequestHeaderSize || !readSome(pending_, 15s)) return false;
    }
    request = pending_.substr(0, *end);
    pending_.erase(0, *end);
    return true;
}

bool ServerConnection::readRequestOnly() {
    std::string request;
    return readHeaderBlock(request);
}

bool ServerConnection::acceptUpgrade() {
    std::string request;
    if (!readHeaderBlock(request)) return false;
    const std::optional<std::string> key = peers::upgradeKey(request);
    if (!key) {
        send(std::string(peers::badRequestAnswer));
        return false;
    }
    return send(peers::switchingProtocolsAnswer(*key));
}

bool ServerConnection::send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (!waitReadable(fd_, 30s, stopping_, POLLOUT)) return false;
        const ssize_t count =
            ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (count <= 0) return false;
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

std::optional<ClientFrame> ServerConnection::readFrame(std::chrono::milliseconds limit) {
    std::optional<ClientFrame> frame;
    while (!(frame = peers::parseClientFrame(pending_))) {
        if (!readSome(pending_, limit)) return std::nullopt;
    }
    pending_.erase(0, frame->headerSize + frame->payload.size());
    return frame;
}

std::uint64_t ServerConnection::serveUntilClose(std::chrono::milliseconds limit) {
    std::uint64_t texts = 0;
    while (std::optional<ClientFrame> received = readFrame(limit)) {
        if (received->opcode == opText) ++texts;
        if (received->opcode == opPing) send(frame(opPong, received->payload));
        if (received->opcode == opClose) {
            send(frame(opClose, received->payload));
            waitForClientEnd();
            break;
        }
    }
    return texts;
}

bool ServerConnection::waitForClientEnd(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string discarded;
    while (!clientEnded_ && std::chrono::steady_clock::now() < deadline && !stopping_) {
        discarded.clear();
        readSome(discarded, pollSlice * 4);
    }
    return clientEnded_;
}

void ServerConnection::reset() {
    const linger abortive{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(fd_);  // with a zero linger time the close sends RST instead of FIN
    fd_ = -1;
    clientEnded_ = true;  // the connection is over from our side; nothing more can be seen
}

LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("socket");
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, listenBacklog) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listener_);
        throw std::runtime_error("listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    stopping_ = true;
    acceptor_.join();
    ::close(listener_);
    std::lock_guard<std::mutex> lock(workersLock_);
    for (Worker& worker : workers_) worker.thread.join();
}

bool LoopbackServer::waitForClientsEnded(int count, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (clientsEnded_ < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

void LoopbackServer::reapFinished() {
    std::lock_guard<std::mutex> lock(workersLock_);
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void LoopbackServer::acceptLoop() {
    while (!stopping_) {
        reapFinished();
        if (!waitReadable(listener_, pollSlice, stopping_)) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++accepted_;
        std::lock_guard<std::mutex> lock(workersLock_);
        Worker& worker = workers_.emplace_back();
        worker.fd = fd;
        worker.thread = std::thread([this, &worker] {
            ServerConnection connection(worker.fd, stopping_);
            handler_(connection);
            if (connection.clientEnded()) ++clientsEnded_;
            if (connection.fd() >= 0) ::close(connection.fd());
            worker.done = true;
        });
    }
}

int openFileDescriptors() {
    int count = 0;
    if (DIR* directory = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(directory)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(directory);
    }
    return count - 1;  // the directory's own descriptor
}

int threadCount() {
    return static_cast<int>(statusField("Threads"));
}

std::int64_t residentKiB() {
    return statusField("VmRSS");
}

}  // namespace reliability
