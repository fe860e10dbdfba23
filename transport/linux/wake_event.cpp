#include "transport/linux/wake_event.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace wsbridge::transport {

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!fd_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void WakeEvent::raise() {
    if (raised_.exchange(true)) return;
    const std::uint64_t one = 1;
    // The counter is never read back, so it can never overflow or fail with EAGAIN here.
    [[maybe_unused]] const ssize_t written = ::write(fd_.get(), &one, sizeof one);
}

}  // namespace wsbridge::transport
