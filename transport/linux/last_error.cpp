// The calling thread's last transport error, as the platform keeps it.
#include "transport/linux/winhttp_decls.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD error) {
    lastError = error;
}
