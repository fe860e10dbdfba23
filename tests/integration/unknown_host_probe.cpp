// Connects to the host name given and prints the status and the last-error text it ends with.
// Run inside a network namespace of its own (unshare -n), where a name lookup fails at once and
// no query can leave the machine.
#include <cstdio>
#include <string>

#include "bridge_client.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const int status = integration::connectAndWait(argv[1], 80);
    std::printf("%d %s\n", status, integration::lastErrorText().c_str());
    WsDisconnect();
    return 0;
}
