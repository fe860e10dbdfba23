// The host benchmark: our library measured through its exported functions, used the way a host
// program uses them: read into a buffer of SIZE + 1 bytes, and between messages either poll
// WsHasMessages and yield when the queue is empty (a spinning host, the seven functions only) or,
// with --wait 1, sleep in WsWaitForMessage (a waiting host). Every count and length is checked,
// and the content is sampled; a wrong result ends the run with a nonzero exit.
//
//   host_bench stream --port P --count N --size S [--tls 1] [--wait 1]
//   host_bench echo --port P --count N --size S [--warmup W] [--wait 1]
//   host_bench idle --port P --seconds T          CPU used by a connected, idle library
//   host_bench disconnect --port P --count N      time of WsDisconnect on a live connection
//   host_bench rss --port P --size S              peak RSS while one message of S bytes arrives
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "command_line.h"
#include "payload_pattern.h"
#include "wsbridge.h"

namespace loopback {
namespace {

using std::chrono::milliseconds;

inline constexpr WsChar16 loopbackHost[] = u"127.0.0.1";
inline constexpr WsChar16 rootPath[] = u"/";
inline constexpr auto connectLimit = std::chrono::seconds(10);
inline constexpr auto streamLimit = std::chrono::seconds(120);
inline constexpr auto closeLimit = std::chrono::seconds(10);
inline constexpr auto settleTime = milliseconds(100);
// A waiting host wakes at least this often to look at its deadline.
inline constexpr std::int32_t waitSliceMs = 100;
inline constexpr const char* serverClosedText = "Server closed WebSocket connection";

struct Options {
    std::string mode;
    int port = 0;
    std::uint64_t count = 0;
    std::size_t size = 0;
    std::uint64_t warmup = 0;
    std::uint64_t seconds = 0;
    bool tls = false;
    bool wait = false;  // sleep in WsWaitForMessage instead of polling
};

int failure(const char* text) {
    std::fprintf(stderr, "host_bench: %s\n", text);
    return 1;
}

bool waitForStatus(std::int32_t wanted, std::chrono::milliseconds limit) {
    const auto deadline = BenchClock::now() + limit;
    while (WsGetStatus() != wanted) {
        if (BenchClock::now() > deadline) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

bool connectAndWait(const Options& o) {
    return WsConnect(loopbackHost, o.port, rootPath, o.tls ? 1 : 0) == 1 &&
           waitForStatus(WS_STATUS_CONNECTED, connectLimit);
}

std::string lastErrorText() {
    char text[512];
    WsGetLastError(text, sizeof text);
    return text;
}

// Until the worker has started, the status still reads Disconnected; in a fresh process the
// worker's first text tells a connection that ended from one that has not begun.
bool connectionEnded() {
    const std::int32_t status = WsGetStatus();
    if (status == WS_STATUS_CONNECTED || status == WS_STATUS_CONNECTING) return false;
    return status == WS_STATUS_ERROR || !lastErrorText().empty();
}

// Until a message is queued: polling and yielding, or asleep in WsWaitForMessage. False when the
// connection ended with nothing queued, or on time-out.
bool awaitMessage(BenchClock::time_point deadline, bool wait) {
    if (wait) {
        // 0 comes at once once the connection has ended, so this loop never spins.
        while (!WsWaitForMessage(waitSliceMs)) {
            if (connectionEnded() || BenchClock::now() > deadline) return WsHasMessages() == 1;
        }
        return true;
    }
    while (!WsHasMessages()) {
        if ((connectionEnded() && !WsHasMessages()) || BenchClock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// After the last message the server closes: nothing more may be queued, and the library must
// report the server's close.
int checkServerClose() {
    if (!waitForStatus(WS_STATUS_DISCONNECTED, closeLimit)) return failure("no close after stream");
    if (WsHasMessages()) return failure("more messages than were sent");
    if (lastErrorText() != serverClosedText) return failure(lastErrorText().c_str());
    WsDisconnect();
    return 0;
}

double cpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU used by every thread but this one (the host's, which spends its time polling or waiting):
// the library's worker, whose thread has ended by now and is counted all the same.
double libraryCpuSeconds() {
    rusage process{};
    getrusage(RUSAGE_SELF, &process);
    timespec host{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &host);
    return cpuSeconds(process) - (static_cast<double>(host.tv_sec) + host.tv_nsec / 1e9);
}

int runStream(const Options& o) {
    std::vector<char> buffer(o.size + 1);
    MessageChecker checker(o.size, o.count);
    const auto start = BenchClock::now();
    const auto deadline = start + streamLimit;
    if (WsConnect(loopbackHost, o.port, rootPath, o.tls ? 1 : 0) != 1)
        return failure("WsConnect refused");
    const auto capacity = static_cast<std::int32_t>(buffer.size());
    for (std::uint64_t sequence = 0; sequence < o.count; ++sequence) {
        if (!awaitMessage(deadline, o.wait)) {
            std::fprintf(stderr, "host_bench: %llu messages of %llu, then: %s\n",
                         static_cast<unsigned long long>(sequence),
                         static_cast<unsigned long long>(o.count), lastErrorText().c_str());
            return 1;
        }
        const std::int32_t length = WsReadMessage(buffer.data(), capacity);
        if (length < 0 || !checker.check(buffer.data(), static_cast<std::size_t>(length), sequence))
            return failure(("message " + std::to_string(sequence) + " is wrong").c_str());
    }
    const double seconds = secondsSince(start);
    if (const int bad = checkServerClose()) return bad;
    reportStream(seconds, o.count, o.count * o.size, libraryCpuSeconds());
    return 0;
}

std::u16string asciiToUtf16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

int runEcho(const Options& o) {
    if (!connectAndWait(o)) return failure("no connection");
    const std::string message = expectedMessage(o.size, 0);
    const std::u16string wide = asciiToUtf16(message);
    std::vector<char> buffer(o.size + 1);
    const auto capacity = static_cast<std::int32_t>(buffer.size());
    std::vector<double> roundTrips;
    roundTrips.reserve(o.count);
    const auto deadline = BenchClock::now() + streamLimit;
    for (std::uint64_t i = 0; i < o.warmup + o.count; ++i) {
        const auto sent = BenchClock::now();
        if (WsSendMessage(wide.c_str()) != 1) return failure("WsSendMessage failed");
        if (!awaitMessage(deadline, o.wait)) return failure("no echo");
        const std::int32_t length = WsReadMessage(buffer.data(), capacity);
        const double micros = secondsSince(sent) * 1e6;
        if (std::string(buffer.data(), static_cast<std::size_t>(length)) != message)
            return failure("echo is wrong");
        if (i >= o.warmup) roundTrips.push_back(micros);
    }
    WsDisconnect();
    reportRoundTrips(roundTrips);
    return 0;
}

// The host thread sleeps throughout, so what the process uses is the library's.
int runIdle(const Options& o) {
    if (!connectAndWait(o)) return failure("no connection");
    std::this_thread::sleep_for(settleTime);
    rusage before{};
    rusage after{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = BenchClock::now();
    std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
    getrusage(RUSAGE_SELF, &after);
    const double wall = secondsSince(start);
    if (WsGetStatus() != WS_STATUS_CONNECTED) return failure("connection lost while idle");
    WsDisconnect();
    const long switches = (after.ru_nvcsw + after.ru_nivcsw) - (before.ru_nvcsw + before.ru_nivcsw);
    std::printf("{\"cpu_seconds\": %.6f, \"wall_seconds\": %.6f, \"context_switches\": %ld}\n",
                cpuSeconds(after) - cpuSeconds(before), wall, switches);
    return 0;
}

int runDisconnect(const Options& o) {
    std::vector<double> times;
    for (std::uint64_t i = 0; i < o.count; ++i) {
        if (!connectAndWait(o)) return failure("no connection");
        std::this_thread::sleep_for(settleTime);
        const auto start = BenchClock::now();
        WsDisconnect();
        times.push_back(secondsSince(start) * 1e3);
        if (WsGetStatus() != WS_STATUS_DISCONNECTED) return failure("still connected");
    }
    std::string line = "{\"disconnect_ms\": [";
    for (std::size_t i = 0; i < times.size(); ++i)
        line += (i ? ", " : "") + std::to_string(times[i]);
    std::puts((line + "]}").c_str());
    return 0;
}

// A field of /proc/self/status, in KiB.
long statusKib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Resets the peak that VmHWM reports to the current RSS.
bool resetPeakRss() {
    std::ofstream clearRefs("/proc/self/clear_refs");
    clearRefs << "5";
    return static_cast<bool>(clearRefs.flush());
}

// The server waits before it sends, so the idle figure is taken with the connection open and
// the host's buffer (and the checker's reference message) already resident: what is measured
// is what the library adds.
int runRss(const Options& o) {
    std::vector<char> buffer(o.size + 1, 1);
    MessageChecker checker(o.size, 1);  // its reference copy is the host's, not the library's
    if (!connectAndWait(o)) return failure("no connection");
    std::this_thread::sleep_for(settleTime);
    const long idle = statusKib("VmRSS");
    if (!resetPeakRss()) return failure("cannot reset the peak RSS");
    if (!awaitMessage(BenchClock::now() + streamLimit, o.wait)) return failure("no message");
    const std::int32_t length =
        WsReadMessage(buffer.data(), static_cast<std::int32_t>(buffer.size()));
    const long peak = statusKib("VmHWM");
    if (length < 0 || !checker.check(buffer.data(), static_cast<std::size_t>(length), 0))
        return failure("message is wrong");
    if (const int bad = checkServerClose()) return bad;
    std::printf("{\"idle_rss_kib\": %ld, \"peak_rss_kib\": %ld, \"bytes\": %zu}\n", idle, peak,
                o.size);
    return 0;
}

int run(int argc, char** argv) {
    CommandLine options(argc, argv, {"port", "count", "size", "warmup", "seconds", "tls", "wait"});
    Options o;
    o.mode = options.mode();
    o.port = static_cast<int>(options.number("port", 0));
    o.count = options.number("count", 0);
    o.size = options.number("size", 0);
    o.warmup = options.number("warmup", 0);
    o.seconds = options.number("seconds", 10);
    o.tls = options.number("tls", 0) != 0;
    o.wait = options.number("wait", 0) != 0;
    if (!options.valid()) return 2;
    if (o.mode == "stream") return runStream(o);
    if (o.mode == "echo") return runEcho(o);
    if (o.mode == "idle") return runIdle(o);
    if (o.mode == "disconnect") return runDisconnect(o);
    if (o.mode == "rss") return runRss(o);
    std::fprintf(stderr, "usage: host_bench stream|echo|idle|disconnect|rss [--option value]...\n");
    return 2;
}

}  // namespace
}  // namespace loopback

int main(int argc, char** argv) {
    return loopback::run(argc, argv);
}
