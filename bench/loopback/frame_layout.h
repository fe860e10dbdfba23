// How the loopback server cuts its stream into frames (unmasked, server to client, written with
// the test peers' frame pieces), and the byte counts that follow from it, which the raw reader
// uses to know when a stream ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "peer_frames.h"

namespace loopback {

using peers::appendFrameHeader;
using peers::ClientFrame;
using peers::ClientFrameReader;
using peers::closeFrame;
using peers::finBit;
using peers::maskBit;
using peers::maskKeySize;
using peers::opClose;
using peers::opContinuation;
using peers::opPing;
using peers::opPong;
using peers::opText;

// How one text message of `size` bytes is cut into frames: in pieces of `fragmentSize` bytes, or
// whole when fragmentSize is 0 or not smaller than the message.
struct Fragmentation {
    std::uint64_t size = 0;
    std::uint64_t fragmentSize = 0;

    std::uint64_t pieces() const {
        if (fragmentSize == 0 || size <= fragmentSize) return 1;
        return (size + fragmentSize - 1) / fragmentSize;
    }
    std::uint64_t pieceLength(std::uint64_t index) const {
        if (pieces() == 1) return size;
        const std::uint64_t start = index * fragmentSize;
        return size - start < fragmentSize ? size - start : fragmentSize;
    }
    std::uint64_t wireBytes() const {
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; i < pieces(); ++i)
            total += peers::frameHeaderSize(pieceLength(i));
        return total + size;
    }
};

// Every byte the server writes after its 101 response for COUNT messages, its close included.
inline std::uint64_t streamWireBytes(const Fragmentation& layout, std::uint64_t count) {
    return layout.wireBytes() * count + closeFrame().size();
}

}  // namespace loopback
