// Waiting, without spinning, until a socket is ready, a wake event is raised or a deadline passes.
#pragma once

#include <initializer_list>

#include "transport/linux/time_limits.h"
#include "transport/linux/wake_event.h"
#include "transport/linux/winhttp_decls.h"

namespace wsbridge::transport {

enum class Readiness { Ready, Woken, TimedOut, Failed };

enum class Direction { Read, Write };

// Waits until fd can be read or written (as direction says), any of wakes is raised, or the
// deadline passes. A socket in error or hung up counts as ready: the next I/O call reports it.
Readiness waitUntilReady(int fd, Direction direction, std::initializer_list<const WakeEvent*> wakes,
                         Deadline deadline);

// The transport error for a wait's outcome: none when ready, cancelled (12017) when woken, timed
// out (12002) when the deadline passed, and failureCode, the caller's own, when the socket failed.
DWORD readinessError(Readiness readiness, DWORD failureCode);

}  // namespace wsbridge::transport
