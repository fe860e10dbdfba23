#include "transport/linux/readiness.h"

#include <poll.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>

namespace wsbridge::transport {
namespace {

inline constexpr std::size_t maxWakes = 2;

int millisecondsUntil(Deadline deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

Readiness waitUntilReady(int fd, Direction direction, std::initializer_list<const WakeEvent*> wakes,
                         Deadline deadline) {
    std::array<pollfd, 1 + maxWakes> polled{};
    polled[0] = {fd, static_cast<short>(direction == Direction::Read ? POLLIN : POLLOUT), 0};
    nfds_t count = 1;
    for (const WakeEvent* wake : wakes) {
        if (wake->raised()) return Readiness::Woken;
        if (count < polled.size()) polled[count++] = {wake->fd(), POLLIN, 0};
    }
    for (;;) {
        const int result = ::poll(polled.data(), count, millisecondsUntil(deadline));
        if (result < 0 && errno == EINTR) continue;
        if (result < 0) return Readiness::Failed;
        for (nfds_t i = 1; i < count; ++i) {
            if (polled[i].revents != 0) return Readiness::Woken;
        }
        if (polled[0].revents != 0) return Readiness::Ready;
        if (Clock::now() >= deadline) return Readiness::TimedOut;
    }
}

DWORD readinessError(Readiness readiness, DWORD failureCode) {
    switch (readiness) {
        case Readiness::Ready:
            return ERROR_SUCCESS;
        case Readiness::Woken:
            return ERROR_WINHTTP_OPERATION_CANCELLED;
        case Readiness::TimedOut:
            return ERROR_WINHTTP_TIMEOUT;
        case Readiness::Failed:
            break;
    }
    return failureCode;
}

}  // namespace wsbridge::transport
