// The two moves of every exchange before the WebSocket opens, the upgrade with the server and
// CONNECT with a proxy: write a whole request, then read the answer as it comes. Each wait is
// bounded by a deadline and cut short by a wake event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "transport/linux/byte_stream.h"
#include "transport/linux/time_limits.h"
#include "transport/linux/wake_event.h"
#include "transport/linux/winhttp_decls.h"

namespace wsbridge::transport {

// Writes all of `bytes`, waiting for the socket whenever it would block. Errors: timed out,
// cancelled, connection error (reset, or the socket failed).
DWORD writeWhole(ByteStream& stream, std::string_view bytes, const WakeEvent& cancel,
                 Deadline deadline);

// Reads what the stream has (at least one byte, at most buffer.size()) into buffer and sets
// `got`, waiting for it when nothing is there yet. Errors: connection error (the peer closed or
// reset), timed out, cancelled.
DWORD readSome(ByteStream& stream, std::span<std::uint8_t> buffer, std::size_t& got,
               const WakeEvent& cancel, Deadline deadline);

}  // namespace wsbridge::transport
