#include "test_network.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace integration {
namespace {

// Set for the program's second run, inside the namespaces.
constexpr const char* insideMarker = "WSBRIDGE_TEST_NETWORK";
constexpr const char* namespaceOptions[] = {"--user", "--map-root-user", "--net",
                                            "--pid",  "--fork",          "--kill-child"};

bool entered = false;

std::string unshareCommand() {
    std::string command = "unshare";
    for (const char* option : namespaceOptions) command += std::string(" ") + option;
    return command;
}

}  // namespace

bool enterTestNetwork(char** argv) {
    if (std::getenv(insideMarker)) {
        // Addresses on lo work on every kernel that has namespaces; dummy and veth devices need
        // modules that are not always there.
        const std::string setup =
            std::string("ip link set lo up && ip addr add ") + remoteAddress + "/32 dev lo";
        entered = std::system(setup.c_str()) == 0;
        if (!entered) std::fprintf(stderr, "test network: '%s' failed\n", setup.c_str());
        return entered;
    }
    if (std::system((unshareCommand() + " true >/dev/null 2>&1").c_str()) != 0) {
        std::fprintf(stderr, "test network: '%s' is not permitted here\n",
                     unshareCommand().c_str());
        return false;
    }
    ::setenv(insideMarker, "1", 1);
    std::vector<char*> words{const_cast<char*>("unshare")};
    for (const char* option : namespaceOptions) words.push_back(const_cast<char*>(option));
    words.push_back(const_cast<char*>("--"));
    for (char** word = argv; *word; ++word) words.push_back(*word);
    words.push_back(nullptr);
    ::execvp("unshare", words.data());
    std::perror("test network: exec unshare");
    ::unsetenv(insideMarker);
    return false;
}

bool inTestNetwork() {
    return entered;
}

}  // namespace integration
