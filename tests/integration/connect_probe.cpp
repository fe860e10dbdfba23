// A host in a process of its own: connects to HOST PORT (over TLS when SECURE is 1), prints the
// status and the last-error text it ends the handshake with, then either disconnects or, with
// "stay", leaves main while still connected, so that the library's static state must end the
// connection on the way out.
//
// Tests run it inside a network namespace of its own (unshare -n) for an unknown host name, so
// that the lookup fails at once and no query can leave the machine, and on its own for exit.
#include <cstdio>
#include <string>

#include "bridge_client.h"

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const bool stay = argc > 4 && std::string(argv[4]) == "stay";
    const int status =
        integration::connectAndWait(argv[1], std::stoi(argv[2]), "/", std::string(argv[3]) == "1");
    std::printf("%d %s\n", status, integration::lastErrorText().c_str());
    std::fflush(stdout);
    if (!stay) WsDisconnect();
    return 0;
}
