/*
 * A minimal host program for wsbridge: connect, wait for the connection, send one message, wait
 * for the reply, print it, disconnect. It checks every result the way a real host has to.
 *
 *     minimal_host HOST PORT PATH MESSAGE
 *
 * HOST, PATH and MESSAGE are ASCII here to keep the example short; a host that holds UTF-16
 * text already (as Windows programs do) passes it as it is.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wsbridge.h"

#ifdef _WIN32
#include <windows.h>
static void sleepMilliseconds(unsigned milliseconds) {
    Sleep(milliseconds);
}
#else
#include <time.h>
static void sleepMilliseconds(unsigned milliseconds) {
    struct timespec pause = {0, (long)milliseconds * 1000000L};
    nanosleep(&pause, NULL);
}
#endif

enum {
    pollMilliseconds = 10,
    handshakePolls = 1000, /* 10 s: every wait has an end */
    replyPolls = 1000,
    statusTextCapacity = 512,
    replyCapacity = 65536,
    longestArgument = 4096
};

/* Widens ASCII text to UTF-16; returns 0 for anything else. */
static int widenAscii(const char* text, WsChar16* wide, size_t capacity) {
    size_t i = 0;
    for (; text[i] != '\0'; ++i) {
        if ((unsigned char)text[i] > 0x7F || i + 1 >= capacity) return 0;
        wide[i] = (WsChar16)text[i];
    }
    wide[i] = 0;
    return 1;
}

static void printStatusText(const char* what) {
    char text[statusTextCapacity];
    WsGetLastError(text, (int32_t)sizeof text);
    fprintf(stderr, "%s (status %d): %s\n", what, (int)WsGetStatus(), text);
}

/* Polls until the handshake has ended. Returns 1 when connected. */
static int waitUntilConnected(void) {
    for (int poll = 0; poll < handshakePolls; ++poll) {
        switch (WsGetStatus()) {
            case WS_STATUS_CONNECTED:
                return 1;
            case WS_STATUS_ERROR:
                printStatusText("handshake failed");
                return 0;
            default: /* 0 until the worker has started, then 1 while it connects */
                sleepMilliseconds(pollMilliseconds);
        }
    }
    fprintf(stderr, "no connection after %d ms\n", handshakePolls * pollMilliseconds);
    return 0;
}

/* Polls for one message and prints it. Returns 1 when one was read. */
static int readOneReply(void) {
    static char reply[replyCapacity];
    for (int poll = 0; poll < replyPolls; ++poll) {
        if (WsHasMessages()) {
            const int32_t length = WsReadMessage(reply, (int32_t)sizeof reply);
            if (length == (int32_t)sizeof reply - 1) fprintf(stderr, "reply may have been cut\n");
            /* The length, not the terminator, tells where the message ends. */
            printf("received %d bytes: ", (int)length);
            fwrite(reply, 1, (size_t)length, stdout);
            printf("\n");
            return 1;
        }
        if (WsGetStatus() != WS_STATUS_CONNECTED) {
            /* Queued messages stay readable after the end, so look once more first. */
            if (WsHasMessages()) continue;
            printStatusText("connection ended");
            return 0;
        }
        sleepMilliseconds(pollMilliseconds);
    }
    fprintf(stderr, "no reply after %d ms\n", replyPolls * pollMilliseconds);
    return 0;
}

int main(int argc, char** argv) {
    static WsChar16 host[longestArgument], path[longestArgument], message[longestArgument];
    if (argc != 5) {
        fprintf(stderr, "usage: %s HOST PORT PATH MESSAGE\n", argv[0]);
        return 2;
    }
    const long port = strtol(argv[2], NULL, 10);
    if (port < 1 || port > 65535 || !widenAscii(argv[1], host, longestArgument) ||
        !widenAscii(argv[3], path, longestArgument) ||
        !widenAscii(argv[4], message, longestArgument) || message[0] == 0) {
        fprintf(stderr, "HOST, PATH and a non-empty MESSAGE must be ASCII, PORT 1 to 65535\n");
        return 2;
    }

    /* WsConnect returns at once; the outcome of the handshake shows through the status. */
    if (!WsConnect(host, (int32_t)port, path, 0)) {
        printStatusText("could not start connecting");
        return 1;
    }
    int ok = waitUntilConnected();
    if (ok && !WsSendMessage(message)) {
        printStatusText("send failed");
        ok = 0;
    }
    if (ok) {
        printf("sent: %s\n", argv[4]);
        ok = readOneReply();
    }
    /* Always disconnect: it closes the WebSocket with status 1000 and ends the worker. */
    WsDisconnect();
    return ok ? 0 : 1;
}
