// Throughput of the protocol core's hot paths, each next to memcpy of the same bytes in the same
// run, so the figures can be read as a fraction of the machine's copy bandwidth:
//   - decoding and UTF-8 checking one 1 MiB text frame (ASCII with a sprinkling of 2- and
//     3-byte characters), in the 64 KiB pieces the transport asks for;
//   - decoding a buffer of many small text frames (64-byte payloads), reported as frames/s;
//   - masking 1 MiB in place, and copying while masking (what the encoder does).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "peer_frames.h"
#include "transport/protocol/frame_decoder.h"
#include "transport/protocol/masking.h"

namespace {

using namespace wsbridge::protocol;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t largePayload = 1 << 20;
constexpr std::size_t smallPayload = 64;
constexpr std::size_t smallFrameCount = 4096;
constexpr std::size_t nonAsciiEvery = 997;  // a character of 2 or 3 bytes this often

// Mostly ASCII text of exactly `size` bytes with whole multi-byte characters spread through it.
Bytes asciiHeavyText(std::size_t size) {
    Bytes text;
    text.reserve(size);
    static const std::uint8_t twoByte[] = {0xC3, 0xA9};
    static const std::uint8_t threeByte[] = {0xE2, 0x82, 0xAC};
    while (text.size() < size) {
        const std::size_t left = size - text.size();
        if (text.size() % nonAsciiEvery == 1 && left >= 3) {
            text.insert(text.end(), threeByte, threeByte + 3);
        } else if (text.size() % nonAsciiEvery == 500 && left >= 2) {
            text.insert(text.end(), twoByte, twoByte + 2);
        } else {
            text.push_back(static_cast<std::uint8_t>('a' + text.size() % 26));
        }
    }
    return text;
}

Bytes textFrames(std::size_t payloadSize, std::size_t count) {
    const Bytes payload = asciiHeavyText(payloadSize);
    Bytes stream;
    for (std::size_t i = 0; i < count; ++i) {
        peers::appendFrameHeader(stream, finBit | static_cast<std::uint8_t>(Opcode::Text),
                                 payloadSize);
        stream.insert(stream.end(), payload.begin(), payload.end());
    }
    return stream;
}

// Decodes all of `stream`; returns the number of events, which the caller checks.
std::size_t decodeAll(const Bytes& stream) {
    FrameDecoder decoder;
    std::span<const std::uint8_t> input(stream);
    std::size_t events = 0;
    while (!input.empty()) {
        const FrameEvent event = decoder.next(input, defaultPieceLimit);
        benchmark::DoNotOptimize(event.payload.data());
        input = input.subspan(event.consumed);
        ++events;
    }
    return events;
}

void memcpyOf(benchmark::State& state, const Bytes& source) {
    Bytes target(source.size());
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

void BM_Memcpy_LargeTextFrame(benchmark::State& state) {
    memcpyOf(state, textFrames(largePayload, 1));
}

void BM_Decode_LargeTextFrame(benchmark::State& state) {
    const Bytes stream = textFrames(largePayload, 1);
    const std::size_t expectedPieces = largePayload / defaultPieceLimit;
    for (auto _ : state) {
        if (decodeAll(stream) != expectedPieces) state.SkipWithError("wrong number of pieces");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}

void BM_Memcpy_SmallTextFrames(benchmark::State& state) {
    memcpyOf(state, textFrames(smallPayload, smallFrameCount));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * smallFrameCount));
}

void BM_Decode_SmallTextFrames(benchmark::State& state) {
    const Bytes stream = textFrames(smallPayload, smallFrameCount);
    for (auto _ : state) {
        if (decodeAll(stream) != smallFrameCount) state.SkipWithError("wrong number of frames");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * smallFrameCount));
}

void BM_Memcpy_Mask(benchmark::State& state) {
    memcpyOf(state, Bytes(largePayload, 0x5A));
}

void BM_Mask_InPlace(benchmark::State& state) {
    Bytes data(largePayload, 0x5A);
    const MaskKey key{0x37, 0xFA, 0x21, 0x3D};
    for (auto _ : state) {
        applyMask(data.data(), data.size(), key);
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void BM_Mask_Copying(benchmark::State& state) {
    const Bytes source(largePayload, 0x5A);
    Bytes target(largePayload);
    const MaskKey key{0x37, 0xFA, 0x21, 0x3D};
    for (auto _ : state) {
        copyMasked(target.data(), source.data(), source.size(), key);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

BENCHMARK(BM_Memcpy_LargeTextFrame);
BENCHMARK(BM_Decode_LargeTextFrame);
BENCHMARK(BM_Memcpy_SmallTextFrames);
BENCHMARK(BM_Decode_SmallTextFrames);
BENCHMARK(BM_Memcpy_Mask);
BENCHMARK(BM_Mask_InPlace);
BENCHMARK(BM_Mask_Copying);

}  // namespace

BENCHMARK_MAIN();
