#include "transport/linux/stream_exchange.h"

namespace wsbridge::transport {

DWORD writeWhole(ByteStream& stream, std::string_view bytes, const WakeEvent& cancel,
                 Deadline deadline) {
    std::size_t offset = 0;
    return writeWithin(stream.fd(), deadline, {&cancel}, [&]() -> std::optional<IoResult> {
        if (offset == bytes.size()) return std::nullopt;
        const IoResult io = stream.write(bytes.data() + offset, bytes.size() - offset);
        if (io.status == IoStatus::Done) offset += io.bytes;
        return io;
    });
}

DWORD readSome(ByteStream& stream, std::span<std::uint8_t> buffer, std::size_t& got,
               const WakeEvent& cancel, Deadline deadline) {
    for (;;) {
        const IoResult io = stream.read(buffer.data(), buffer.size());
        if (io.status == IoStatus::Done) {
            got = io.bytes;
            return ERROR_SUCCESS;
        }
        if (io.status != IoStatus::WouldBlock) return ERROR_WINHTTP_CONNECTION_ERROR;
        const Readiness ready = waitUntilReady(stream.fd(), io.waitFor, {&cancel}, deadline);
        if (ready != Readiness::Ready) return readinessError(ready, ERROR_WINHTTP_CONNECTION_ERROR);
    }
}

}  // namespace wsbridge::transport
