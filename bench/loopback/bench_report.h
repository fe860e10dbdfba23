// The one line of JSON each benchmark client prints for the bench script, and the clock it uses.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace loopback {

using BenchClock = std::chrono::steady_clock;

inline double secondsSince(BenchClock::time_point start) {
    return std::chrono::duration<double>(BenchClock::now() - start).count();
}

// cpuSeconds < 0: not measured.
inline void reportStream(double seconds, std::uint64_t messages, std::uint64_t payloadBytes,
                         double cpuSeconds = -1) {
    std::printf("{\"seconds\": %.6f, \"messages\": %llu, \"bytes\": %llu", seconds,
                static_cast<unsigned long long>(messages),
                static_cast<unsigned long long>(payloadBytes));
    if (cpuSeconds >= 0) std::printf(", \"cpu_seconds\": %.6f", cpuSeconds);
    std::printf("}\n");
}

// Round-trip times in microseconds, one per message, for the script to take percentiles of.
inline void reportRoundTrips(const std::vector<double>& microseconds) {
    std::string line = "{\"rtt_us\": [";
    char number[32];
    for (std::size_t i = 0; i < microseconds.size(); ++i) {
        std::snprintf(number, sizeof number, i == 0 ? "%.3f" : ", %.3f", microseconds[i]);
        line += number;
    }
    line += "]}";
    std::puts(line.c_str());
}

}  // namespace loopback
