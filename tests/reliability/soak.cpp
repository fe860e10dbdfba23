// The soak run behind `./dev soak [MINUTES]` (not part of ctest): mixed traffic against the
// in-process loopback server for MINUTES (default 30), with a reconnect every few seconds, made
// in turn by WsDisconnect then WsConnect, by a WsConnect over the live connection, and by the
// server closing. Prints the messages moved and the process's RSS, descriptors and threads at
// the start and the end; exits 1 if a message arrived corrupt or descriptors or threads grew.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "bridge_client.h"
#include "loopback_server.h"

using namespace integration;
using namespace reliability;

namespace {

constexpr int defaultMinutes = 30;
constexpr auto connectionLife = 5s;
constexpr int serverMessagesPerBurst = 200;
constexpr int hostMessagesPerBurst = 50;
constexpr auto burstInterval = 20ms;
constexpr std::size_t largestServerMessage = 256 * 1024;
constexpr int waysToReconnect = 3;

// Message n from the server: its number, then filler up to a size that varies with n.
std::string serverMessage(std::uint64_t n) {
    std::string text = std::to_string(n) + ":";
    const std::size_t size = (n * 7919) % (n % 100 == 0 ? largestServerMessage : 512);
    text.append(size, static_cast<char>('a' + n % 26));
    return text;
}

struct Totals {
    std::atomic<std::uint64_t> serverSent{0};
    std::atomic<std::uint64_t> serverReceived{0};
    std::uint64_t hostSent = 0;
    std::uint64_t hostReceived = 0;
    std::uint64_t corrupt = 0;
    std::uint64_t reconnects = 0;
};

void serve(ServerConnection& connection, Totals& totals, std::atomic<bool>& closeNow) {
    if (!connection.acceptUpgrade()) return;
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        while (!done) {
            if (closeNow.exchange(false)) {
                connection.send(frame(opClose, std::string("\x03\xe8", 2)));
                return;
            }
            std::string burst;
            for (int i = 0; i < serverMessagesPerBurst; ++i) {
                burst += frame(opText, serverMessage(totals.serverSent++));
            }
            if (!connection.send(burst)) return;
            std::this_thread::sleep_for(burstInterval);
        }
    });
    totals.serverReceived += connection.serveUntilClose(60s);
    done = true;
    pusher.join();
}

bool checkMessage(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    return text == serverMessage(std::stoull(text.substr(0, colon)));
}

void printFigures(const char* when, const Totals& totals) {
    std::printf(
        "soak %s: RSS %lld KiB, fds %d, threads %d; host sent %llu, host received %llu, "
        "server sent %llu, server received %llu, reconnects %llu, corrupt %llu\n",
        when, static_cast<long long>(residentKiB()), openFileDescriptors(), threadCount(),
        static_cast<unsigned long long>(totals.hostSent),
        static_cast<unsigned long long>(totals.hostReceived),
        static_cast<unsigned long long>(totals.serverSent.load()),
        static_cast<unsigned long long>(totals.serverReceived.load()),
        static_cast<unsigned long long>(totals.reconnects),
        static_cast<unsigned long long>(totals.corrupt));
    std::fflush(stdout);
}

void drain(Totals& totals, std::vector<char>& buffer) {
    while (WsHasMessages()) {
        const int length = WsReadMessage(buffer.data(), static_cast<int>(buffer.size()));
        if (!checkMessage(std::string(buffer.data(), static_cast<std::size_t>(length)))) {
            ++totals.corrupt;
        }
        ++totals.hostReceived;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::stoi(argv[1]) : defaultMinutes;
    Totals totals;
    std::atomic<bool> closeNow{false};
    LoopbackServer server([&](ServerConnection& c) { serve(c, totals, closeNow); });
    const std::u16string host = utf16("127.0.0.1");
    std::vector<char> buffer(largestServerMessage + 64);

    connectAndWait("127.0.0.1", server.port());
    std::this_thread::sleep_for(1s);  // the first connection's buffers and threads exist now
    drain(totals, buffer);
    const int fdsAtStart = openFileDescriptors();
    const int threadsAtStart = threadCount();
    printFigures("start", totals);

    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(minutes);
    auto nextReconnect = std::chrono::steady_clock::now() + connectionLife;
    auto nextReport = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < hostMessagesPerBurst; ++i) {
            if (sendText(u"host " + utf16(std::to_string(totals.hostSent)))) ++totals.hostSent;
        }
        drain(totals, buffer);
        std::this_thread::sleep_for(burstInterval);
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextReconnect) {
            switch (totals.reconnects++ % waysToReconnect) {
                case 0:
                    WsDisconnect();
                    break;
                case 1:
                    break;  // WsConnect over the live connection
                default:
                    closeNow = true;
                    waitForStatus(WS_STATUS_DISCONNECTED, 5s);
                    break;
            }
            drain(totals, buffer);
            connectAndWait("127.0.0.1", server.port());
            nextReconnect = now + connectionLife;
        }
        if (now >= nextReport) {
            printFigures("running", totals);
            nextReport = now + std::chrono::minutes(1);
        }
    }
    WsDisconnect();
    drain(totals, buffer);
    server.waitForClientsEnded(server.accepted(), 10s);
    std::this_thread::sleep_for(1s);
    // Measured with the last connection gone, so one fewer socket and worker than at the start.
    printFigures("end", totals);
    const bool grew = openFileDescriptors() > fdsAtStart || threadCount() > threadsAtStart;
    return totals.corrupt == 0 && !grew ? 0 : 1;
}
