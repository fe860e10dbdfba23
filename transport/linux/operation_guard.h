// No exception may leave a transport operation: each entry point runs its body through one of
// these, which turns anything thrown into the operation's documented failure.
#pragma once

#include <new>

#include "transport/linux/winhttp_decls.h"

namespace wsbridge::transport {

inline DWORD errorForCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_WINHTTP_INTERNAL_ERROR;  // no eventfd, no thread resources, ...
    }
}

// For operations that report failure through their result and the thread's last error.
template <typename Result, typename Body>
Result guardLastError(Result failed, Body&& body) {
    try {
        return body();
    } catch (...) {
        SetLastError(errorForCurrentException());
        return failed;
    }
}

// For operations that return their error number.
template <typename Body>
DWORD guardErrorCode(Body&& body) {
    try {
        return body();
    } catch (...) {
        return errorForCurrentException();
    }
}

}  // namespace wsbridge::transport
