/*
 * A small Windows host program that loads wsbridge.dll the way a host does (LoadLibraryW and
 * GetProcAddress) and drives its seven functions through one scenario against a loopback peer
 * server that the test runner (run_wine_suite.py) started on Linux.
 *
 *     wine_host.exe DLL SCENARIO PORT
 *     wine_host.exe DLL version-resource VERSION
 *
 * Built with WSBRIDGE_LINKED_HOST (as wine_linked_host.exe, beside the DLL), it links the DLL
 * through its import library instead, as a host that includes wsbridge.h does, and runs the
 * scenarios that do not unload the library.
 *
 * Prints one line per check: "ok WHAT" or "FAIL WHAT: DETAILS", and "note WHAT" for what the
 * runner passes on (error numbers, Wine's own behaviour). The exit code is the number of failed
 * checks. What only the server can see (the bytes it received, the close code) the runner checks
 * in the peer's record.
 */
#include <windows.h>

#include <tlhelp32.h> /* after windows.h, which it needs */
#include <winver.h>

#ifdef WSBRIDGE_LINKED_HOST
#include "wsbridge.h"
#endif

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef int32_t(WINAPI* ConnectFn)(const wchar_t*, int32_t, const wchar_t*, int32_t);
typedef int32_t(WINAPI* NoArgumentFn)(void);
typedef int32_t(WINAPI* TextOutFn)(char*, int32_t);
typedef int32_t(WINAPI* SendFn)(const wchar_t*);

typedef struct {
    HMODULE module;
    ConnectFn connect;
    NoArgumentFn disconnect;
    NoArgumentFn getStatus;
    TextOutFn getLastError;
    SendFn sendMessage;
    NoArgumentFn hasMessages;
    TextOutFn readMessage;
} Library;

enum {
    STATUS_DISCONNECTED = 0,
    STATUS_CONNECTED = 2,
    STATUS_ERROR = 3,
};

/* Generous bounds: they only turn a hang into a failure. */
static const DWORD stateWaitMs = 10000;
static const DWORD promptDisconnectMs = 3000;
static const DWORD unloadWatchdogMs = 15000;
static const DWORD pollIntervalMs = 5;

/* The peer's sized messages repeat the alphabet, cut to length. */
static const char pattern[] = "abcdefghijklmnopqrstuvwxyz";
enum { patternLength = sizeof pattern - 1 };
enum { largeMessageLength = 3 * 65536 };
enum { textCapacity = 512 };
enum { versionInfoCapacity = 16384, versionTextCapacity = 128 };

static int failures;
static wchar_t loopbackHost[] = L"127.0.0.1";

static void check(int passed, const char* what, const char* detailsFormat, ...) {
    if (passed) {
        printf("ok %s\n", what);
    } else {
        va_list arguments;
        va_start(arguments, detailsFormat);
        printf("FAIL %s: ", what);
        vprintf(detailsFormat, arguments);
        printf("\n");
        va_end(arguments);
        ++failures;
    }
    fflush(stdout);
}

static void note(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    printf("note ");
    vprintf(format, arguments);
    printf("\n");
    va_end(arguments);
    fflush(stdout);
}

#ifdef WSBRIDGE_LINKED_HOST
/* The loader has mapped the DLL with the program; the module stays null, so nothing unloads it. */
static int loadLibrary(Library* library, const wchar_t* path) {
    (void)path;
    memset(library, 0, sizeof *library);
    library->connect = WsConnect;
    library->disconnect = WsDisconnect;
    library->getStatus = WsGetStatus;
    library->getLastError = WsGetLastError;
    library->sendMessage = WsSendMessage;
    library->hasMessages = WsHasMessages;
    library->readMessage = WsReadMessage;
    return 1;
}
#else
static FARPROC symbol(HMODULE module, const char* name) {
    FARPROC address = GetProcAddress(module, name);
    if (!address) check(0, "GetProcAddress", "%s not exported", name);
    return address;
}

static int loadLibrary(Library* library, const wchar_t* path) {
    memset(library, 0, sizeof *library);
    library->module = LoadLibraryW(path);
    if (!library->module) {
        check(0, "LoadLibraryW", "error %lu", GetLastError());
        return 0;
    }
    library->connect = (ConnectFn)(void*)symbol(library->module, "WsConnect");
    library->disconnect = (NoArgumentFn)(void*)symbol(library->module, "WsDisconnect");
    library->getStatus = (NoArgumentFn)(void*)symbol(library->module, "WsGetStatus");
    library->getLastError = (TextOutFn)(void*)symbol(library->module, "WsGetLastError");
    library->sendMessage = (SendFn)(void*)symbol(library->module, "WsSendMessage");
    library->hasMessages = (NoArgumentFn)(void*)symbol(library->module, "WsHasMessages");
    library->readMessage = (TextOutFn)(void*)symbol(library->module, "WsReadMessage");
    return library->connect && library->disconnect && library->getStatus && library->getLastError &&
           library->sendMessage && library->hasMessages && library->readMessage;
}
#endif

static void lastErrorText(const Library* library, char* text) {
    library->getLastError(text, textCapacity);
}

/* Polls until the status is `wanted`; returns the status it ended on. */
static int32_t waitForStatus(const Library* library, int32_t wanted) {
    const ULONGLONG deadline = GetTickCount64() + stateWaitMs;
    int32_t status = library->getStatus();
    while (status != wanted && GetTickCount64() < deadline) {
        Sleep(pollIntervalMs);
        status = library->getStatus();
    }
    return status;
}

static int waitForMessage(const Library* library) {
    const ULONGLONG deadline = GetTickCount64() + stateWaitMs;
    while (!library->hasMessages()) {
        if (GetTickCount64() >= deadline) return 0;
        Sleep(pollIntervalMs);
    }
    return 1;
}

static int matchesPattern(const char* bytes, int32_t length) {
    for (int32_t i = 0; i < length; ++i) {
        if (bytes[i] != pattern[i % patternLength]) return 0;
    }
    return 1;
}

/* Whether the thread with this id still runs in this process. */
static int threadAlive(DWORD threadId) {
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, threadId);
    if (!thread) return 0;
    const int alive = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
    CloseHandle(thread);
    return alive;
}

/* The ids of this process's threads, other than the calling one; returns how many. */
enum { maxThreads = 64 };
static int otherThreads(DWORD* ids) {
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {.dwSize = sizeof entry};
    for (BOOL more = Thread32First(snapshot, &entry); more && count < maxThreads;
         more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId() &&
            entry.th32ThreadID != GetCurrentThreadId()) {
            ids[count++] = entry.th32ThreadID;
        }
    }
    CloseHandle(snapshot);
    return count;
}

typedef struct {
    HMODULE module;
    HANDLE finished;
} UnloadCall;

static DWORD WINAPI freeLibraryThread(void* argument) {
    UnloadCall* call = argument;
    FreeLibrary(call->module);
    SetEvent(call->finished);
    return 0;
}

/*
 * FreeLibrary runs on a thread of its own so that a deadlock on the loader lock shows as a
 * timeout here, not as a hung test; TerminateProcess then ends the process, since ExitProcess
 * would need the same lock.
 */
static ULONGLONG unloadWithWatchdog(Library* library, const char* what) {
    UnloadCall call = {library->module, CreateEventW(NULL, TRUE, FALSE, NULL)};
    const ULONGLONG start = GetTickCount64();
    HANDLE thread = CreateThread(NULL, 0, freeLibraryThread, &call, 0, NULL);
    if (WaitForSingleObject(call.finished, unloadWatchdogMs) != WAIT_OBJECT_0) {
        check(0, what, "no return after %lu ms", unloadWatchdogMs);
        TerminateProcess(GetCurrentProcess(), 100);
    }
    const ULONGLONG elapsed = GetTickCount64() - start;
    check(1, what, "");
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(call.finished);
    library->module = NULL;
    return elapsed;
}

static int connectAndWait(const Library* library, int port) {
    char text[textCapacity];
    check(library->connect(loopbackHost, port, L"/", 0) == 1, "WsConnect returns 1", "");
    const int32_t status = waitForStatus(library, STATUS_CONNECTED);
    lastErrorText(library, text);
    check(status == STATUS_CONNECTED, "connect reaches status 2", "status %d, text '%s'", status,
          text);
    check(strcmp(text, "Connected") == 0, "the text reads Connected", "'%s'", text);
    return status == STATUS_CONNECTED;
}

/* Reads the next message into `buffer` and checks its length and its bytes. */
static void expectPatternMessage(const Library* library, char* buffer, int32_t capacity,
                                 int32_t length, const char* what) {
    if (!waitForMessage(library)) {
        check(0, what, "no message arrived");
        return;
    }
    const int32_t count = library->readMessage(buffer, capacity);
    check(count == length && matchesPattern(buffer, count) && buffer[count] == 0, what,
          "read %d bytes, wanted %d", count, length);
}

/* Peer: text=5 text=196608 text=0 hold. */
static void scenarioExchange(const Library* library, int port) {
    static char buffer[largeMessageLength + 1];
    char text[textCapacity];
    if (!connectAndWait(library, port)) return;
    expectPatternMessage(library, buffer, sizeof buffer, 5, "a 5-byte message");
    expectPatternMessage(library, buffer, sizeof buffer, largeMessageLength,
                         "a 3x65536-byte message arrives as one");
    expectPatternMessage(library, buffer, sizeof buffer, 0, "an empty message");
    check(library->hasMessages() == 0, "nothing else is queued", "");

    check(library->sendMessage(L"\u00e9") == 1, "WsSendMessage of U+00E9 returns 1", "");
    check(library->sendMessage(L"") == 0, "WsSendMessage of the empty text returns 0", "");

    const ULONGLONG start = GetTickCount64();
    library->disconnect();
    const ULONGLONG elapsed = GetTickCount64() - start;
    note("WsDisconnect took %llu ms", elapsed);
    check(elapsed < promptDisconnectMs, "WsDisconnect is prompt", "%llu ms", elapsed);
    check(library->getStatus() == STATUS_DISCONNECTED, "status 0 after WsDisconnect", "%d",
          library->getStatus());
    lastErrorText(library, text);
    note("text after WsDisconnect: '%s'", text);
    /* Which of these depends on how the transport ends the receive that the close cut short. */
    static const char receiveFailed[] = "WebSocketReceive failed (Error ";
    check(strcmp(text, "Server closed WebSocket connection") == 0 ||
              strncmp(text, receiveFailed, sizeof receiveFailed - 1) == 0 ||
              strcmp(text, "Connected") == 0,
          "the text after WsDisconnect is the worker's last", "'%s'", text);
    check(library->sendMessage(L"late") == 0, "no send after WsDisconnect", "");
}

/* The peer closes only after our message, so that the host sees the connection open first. */
static void connectUntilServerCloses(const Library* library, int port) {
    char buffer[16];
    char text[textCapacity];
    if (!connectAndWait(library, port)) return;
    check(library->sendMessage(L"go") == 1, "WsSendMessage returns 1", "");
    const int32_t status = waitForStatus(library, STATUS_DISCONNECTED);
    lastErrorText(library, text);
    check(status == STATUS_DISCONNECTED, "a server close ends at status 0", "%d", status);
    check(strcmp(text, "Server closed WebSocket connection") == 0, "the server close text", "'%s'",
          text);
    expectPatternMessage(library, buffer, sizeof buffer, 5,
                         "a message queued before the close stays readable");
}

/*
 * Peer: await=1 text=5 close=1000. The second WsConnect needs no WsDisconnect after the server's
 * close; then the library is unloaded with the worker already at its end.
 */
static void scenarioServerClose(Library* library, int port) {
    connectUntilServerCloses(library, port);
    connectUntilServerCloses(library, port);
    note("FreeLibrary after a server close took %llu ms",
         unloadWithWatchdog(library, "FreeLibrary after a server close returns"));
}

/* Nothing listens on the port. */
static void scenarioRefused(const Library* library, int port) {
    char text[textCapacity];
    static const char prefix[] = "WinHttpSendRequest to '127.0.0.1' failed (Error ";
    check(library->connect(loopbackHost, port, L"/", 0) == 1, "WsConnect returns 1", "");
    const int32_t status = waitForStatus(library, STATUS_ERROR);
    lastErrorText(library, text);
    check(status == STATUS_ERROR, "a refused port ends at status 3", "%d", status);
    unsigned long code = 0;
    char tail[8] = "";
    const int shaped = strncmp(text, prefix, sizeof prefix - 1) == 0 &&
                       sscanf(text + sizeof prefix - 1, "%lu%7s", &code, tail) == 2 &&
                       strcmp(tail, ")") == 0;
    check(shaped, "the refused-port text names the host and the error", "'%s'", text);
    note("refused port: '%s'", text);
    check(library->disconnect() == STATUS_ERROR, "WsDisconnect reports the failed attempt", "");
    check(library->getStatus() == STATUS_DISCONNECTED, "status 0 after WsDisconnect", "");
}

/* Peer: --status 404. */
/*
 * Polls until the connection attempt has ended: status 3, or status 0 once a receive has failed.
 * Returns the status it ended on, and leaves the text in `text`.
 */
static int32_t waitForAttemptEnd(const Library* library, char* text) {
    const ULONGLONG deadline = GetTickCount64() + stateWaitMs;
    for (;;) {
        const int32_t status = library->getStatus();
        lastErrorText(library, text);
        const int receiveFailed = strncmp(text, "WebSocketReceive failed", 23) == 0;
        if (status == STATUS_ERROR || (status == STATUS_DISCONNECTED && receiveFailed)) {
            return status;
        }
        if (GetTickCount64() >= deadline) return status;
        Sleep(pollIntervalMs);
    }
}

/* Peer: answers 404 to the upgrade request. */
static void scenarioNotUpgraded(const Library* library, int port) {
    char text[textCapacity];
    check(library->connect(loopbackHost, port, L"/", 0) == 1, "WsConnect returns 1", "");
    const int32_t status = waitForAttemptEnd(library, text);
    if (strcmp(text, "WinHttpWebSocketCompleteUpgrade failed") == 0) {
        check(status == STATUS_ERROR, "a non-101 answer ends at status 3", "%d", status);
        return;
    }
    /*
     * Wine's behaviour, not the platform's: its WinHTTP may fail WinHttpReceiveResponse for a
     * request that asked for the upgrade and got no 101, or it may complete the "upgrade" on a
     * 404 and hand out a WebSocket handle whose first receive then fails with 12152. Both are
     * recorded as notes; neither lets a message through.
     */
    if (status == STATUS_ERROR && strcmp(text, "WinHttpReceiveResponse failed") == 0) {
        note("Wine's behaviour: a non-101 answer fails WinHttpReceiveResponse");
        return;
    }
    if (status == STATUS_DISCONNECTED &&
        strcmp(text, "WebSocketReceive failed (Error 12152)") == 0) {
        note("Wine's behaviour: a 404 completes the upgrade; the first receive fails with 12152");
        check(!library->hasMessages(), "nothing of the 404 body is queued", "");
        return;
    }
    check(0, "a non-101 answer ends the attempt", "status %d, text '%s'", status, text);
}

/* Peer: hold. Unloads while the worker waits in its receive, then loads the library again. */
static void scenarioUnloadConnected(Library* library, int port, const wchar_t* path) {
    DWORD before[maxThreads];
    const int countBefore = otherThreads(before);
    if (!connectAndWait(library, port)) return;
    note("FreeLibrary while connected took %llu ms",
         unloadWithWatchdog(library, "FreeLibrary while connected returns"));
    check(GetModuleHandleW(path) == NULL, "the DLL is unloaded, not pinned", "");

    /* The worker is not left parked: it ends once FreeLibrary has let go of the loader lock. */
    DWORD after[maxThreads];
    const int countAfter = otherThreads(after);
    int newAlive = 0;
    for (int i = 0; i < countAfter; ++i) {
        int known = 0;
        for (int j = 0; j < countBefore; ++j) known |= after[i] == before[j];
        if (known) continue;
        const ULONGLONG deadline = GetTickCount64() + stateWaitMs;
        while (threadAlive(after[i]) && GetTickCount64() < deadline) Sleep(pollIntervalMs);
        newAlive += threadAlive(after[i]);
    }
    check(newAlive == 0, "no thread of the connection outlives the unload", "%d still run",
          newAlive);

    /* Loaded again, the library starts from its initial state and connects again. */
    char text[textCapacity] = "unset";
    if (!loadLibrary(library, path)) return;
    check(library->getStatus() == STATUS_DISCONNECTED, "reloaded: status 0", "");
    check(library->getLastError(text, sizeof text) == 0, "reloaded: the empty text", "'%s'", text);
    if (connectAndWait(library, port)) library->disconnect();
}

/*
 * Peer: close=1000, right after each handshake. Each round unloads the library at a slightly
 * different moment around the worker's own end, so that some unloads meet a worker that is just
 * ending by itself: the case in which a worker already on its way out of its thread would wait
 * for the loader lock that FreeLibrary holds.
 */
static void scenarioUnloadRace(Library* library, int port, const wchar_t* path) {
    enum { rounds = 20, spreadMs = 4 };
    int connected = 0;
    char text[textCapacity];
    for (int round = 0; round < rounds; ++round) {
        if (round > 0 && !loadLibrary(library, path)) return;
        library->connect(loopbackHost, port, L"/", 0);
        /* The status may pass 2 between two polls; the text stays set once "Connected". */
        const ULONGLONG deadline = GetTickCount64() + stateWaitMs;
        while (library->getLastError(text, sizeof text) == 0 &&
               library->getStatus() != STATUS_ERROR && GetTickCount64() < deadline) {
            Sleep(0);
        }
        connected += text[0] != 0 && library->getStatus() != STATUS_ERROR;
        Sleep(round % spreadMs);
        unloadWithWatchdog(library, "FreeLibrary as the server closes returns");
    }
    check(connected == rounds, "every round connected", "%d of %d", connected, rounds);
}

/* Peer: hold. Returns from main while connected: ExitProcess unloads the DLL. */
static void scenarioExitConnected(Library* library, int port) {
    if (connectAndWait(library, port)) note("leaving the process while connected");
}

/* No peer. What the system's version API reads from the DLL's version resource. */
static void scenarioVersionResource(const wchar_t* path, const wchar_t* version) {
    static BYTE data[versionInfoCapacity];
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0 || size > sizeof data || !GetFileVersionInfoW(path, 0, size, data)) {
        check(0, "the DLL has a version resource", "size %lu, error %lu", size, GetLastError());
        return;
    }
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (!VerQueryValueW(data, L"\\", (void**)&fixed, &length) || length < sizeof *fixed) {
        check(0, "the version resource has its fixed part", "");
        return;
    }
    wchar_t numbers[versionTextCapacity];
    swprintf(numbers, versionTextCapacity, L"%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
             LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS));
    check(wcscmp(numbers, version) == 0, "the file version number", "%ls", numbers);
    check(fixed->dwProductVersionMS == fixed->dwFileVersionMS &&
              fixed->dwProductVersionLS == fixed->dwFileVersionLS,
          "the product version number is the file's", "");
    check(fixed->dwFileType == VFT_DLL, "the file type is a DLL", "%lu", fixed->dwFileType);

    const struct {
        const wchar_t* name;
        const wchar_t* wanted; /* NULL: any text but the empty one */
    } strings[] = {{L"FileVersion", version},
                   {L"ProductVersion", version},
                   {L"ProductName", L"wsbridge"},
                   {L"OriginalFilename", L"wsbridge.dll"},
                   {L"FileDescription", NULL}};
    for (size_t i = 0; i < sizeof strings / sizeof strings[0]; ++i) {
        wchar_t query[versionTextCapacity];
        swprintf(query, versionTextCapacity, L"\\StringFileInfo\\040904B0\\%ls", strings[i].name);
        wchar_t* value = NULL;
        const int found = VerQueryValueW(data, query, (void**)&value, &length) && length > 1;
        const wchar_t* wanted = strings[i].wanted;
        char what[versionTextCapacity];
        snprintf(what, sizeof what, "the version resource's %ls", strings[i].name);
        check(found && (!wanted || wcscmp(value, wanted) == 0), what, "'%ls'",
              found ? value : L"(none)");
    }
}

/* A fault on any thread (code of the unloaded DLL running, say) fails the scenario at once. */
static LONG WINAPI reportCrash(EXCEPTION_POINTERS* exception) {
    printf("FAIL crash: exception %08lx at %p on thread %lu\n",
           exception->ExceptionRecord->ExceptionCode, exception->ExceptionRecord->ExceptionAddress,
           GetCurrentThreadId());
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 101);
    return EXCEPTION_EXECUTE_HANDLER;
}

int wmain(int argc, wchar_t** argv) {
    SetUnhandledExceptionFilter(reportCrash);
    if (argc != 4) {
        fprintf(stderr, "usage: wine_host.exe DLL SCENARIO PORT\n");
        return 100;
    }
    const wchar_t* path = argv[1];
    const wchar_t* scenario = argv[2];
    if (wcscmp(scenario, L"version-resource") == 0) {
        scenarioVersionResource(path, argv[3]);
        printf("end\n");
        return failures;
    }
    const int port = _wtoi(argv[3]);
    Library library;
    if (!loadLibrary(&library, path)) return 100;

    char text[textCapacity] = "unset";
    check(library.getStatus() == STATUS_DISCONNECTED, "after load: status 0", "");
    check(library.getLastError(text, sizeof text) == 0 && text[0] == 0,
          "after load: the empty text", "'%s'", text);

    if (wcscmp(scenario, L"exchange") == 0) {
        scenarioExchange(&library, port);
    } else if (wcscmp(scenario, L"server-close") == 0) {
        scenarioServerClose(&library, port);
    } else if (wcscmp(scenario, L"refused") == 0) {
        scenarioRefused(&library, port);
    } else if (wcscmp(scenario, L"not-upgraded") == 0) {
        scenarioNotUpgraded(&library, port);
    } else if (wcscmp(scenario, L"unload-connected") == 0) {
        scenarioUnloadConnected(&library, port, path);
    } else if (wcscmp(scenario, L"unload-race") == 0) {
        scenarioUnloadRace(&library, port, path);
    } else if (wcscmp(scenario, L"exit-connected") == 0) {
        scenarioExitConnected(&library, port);
        printf("end\n");
        return failures;
    } else {
        fprintf(stderr, "unknown scenario %ls\n", scenario);
        return 100;
    }
    if (library.module) FreeLibrary(library.module);
    printf("end\n"); /* the runner wants this line: a host that vanished early never prints it */
    return failures;
}
