/*
 * A minimal host program for wsbridge: connect, wait for the connection, send one message, wait
 * for the reply (asleep in WsWaitForMessage, not polling), read it into a buffer of its own
 * length, print it, disconnect and tell how the connection ended. It checks every result the
 * way a real host has to.
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
    handshakePolls = 1000,     /* 10 s: every wait has an end */
    replyWaitMilliseconds = 10000,
    statusTextCapacity = 512,
    closeReasonCapacity = 124, /* a close reason is at most 123 bytes */
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

/* Waits for one message and prints it. Returns 1 when one was read. */
static int readOneReply(void) {
    /* 1 as soon as a message is queued; 0 after the time limit, or at once when the connection
     * has ended (messages that came before the end are still queued and answer 1 first). */
    if (!WsWaitForMessage(replyWaitMilliseconds)) {
        if (WsGetStatus() == WS_STATUS_CONNECTED) {
            fprintf(stderr, "no reply after %d ms\n", replyWaitMilliseconds);
        } else {
            printStatusText("connection ended");
        }
        return 0;
    }
    /* The length tells how large a buffer the whole message needs: nothing is cut. */
    const int32_t length = WsGetMessageLength();
    char* reply = malloc((size_t)length + 1);
    if (!reply) {
        fprintf(stderr, "no memory for a reply of %d bytes\n", (int)length);
        return 0;
    }
    const int32_t read = WsReadMessage(reply, length + 1);
    /* The length, not the terminator, tells where the message ends. */
    printf("received %d bytes: ", (int)read);
    fwrite(reply, 1, (size_t)read, stdout);
    printf("\n");
    free(reply);
    return 1;
}

/* How the connection ended: the server's close code and reason, or 1006 without a close. */
static void printCloseStatus(void) {
    char reason[closeReasonCapacity];
    const int32_t code = WsGetCloseStatus(reason, (int32_t)sizeof reason);
    fprintf(stderr, "closed with %d%s%s\n", (int)code, reason[0] ? ": " : "", reason);
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
    const int connected = waitUntilConnected();
    int ok = connected;
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
    if (connected) printCloseStatus();
    return ok ? 0 : 1;
}
