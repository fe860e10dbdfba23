/*
 * A host linked by an MSVC-compatible linker (lld-link) against wsbridge.lib, the import library
 * made for MSVC linkers, with no C runtime: it proves that the library resolves every export by
 * name from wsbridge.dll. It calls each function the way a fresh library answers without a server
 * (a connection to a closed loopback port fails with status 3), and exits with the number of
 * unexpected answers; run_wine_suite.py runs it beside the DLL.
 */
#include <windows.h>

#include "wsbridge.h"

enum { pollMilliseconds = 10, maxPolls = 1000, closedPort = 1 }; /* 10 s at most */

void start(void) {
    char text[8] = "unset";
    unsigned failures = 0;
    failures += WsGetStatus() != WS_STATUS_DISCONNECTED;
    failures += WsGetLastError(text, (int32_t)sizeof text) != 0;
    failures += WsHasMessages() != 0;
    failures += WsReadMessage(text, (int32_t)sizeof text) != 0;
    failures += WsSendMessage(L"not connected") != 0;
    failures += WsConnect(L"127.0.0.1", closedPort, L"/", 0) != 1;
    for (int poll = 0; poll < maxPolls && WsGetStatus() != WS_STATUS_ERROR; ++poll) {
        Sleep(pollMilliseconds);
    }
    failures += WsGetStatus() != WS_STATUS_ERROR;
    failures += WsDisconnect() != WS_STATUS_ERROR;
    ExitProcess(failures);
}
