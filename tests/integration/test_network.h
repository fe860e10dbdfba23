// A network of the test's own, for servers that must not be on a loopback address.
//
// enterTestNetwork() runs the test program again inside new user, network and PID namespaces
// (unshare), as root there, with lo up holding 127.0.0.1 and also remoteAddress. A server bound to
// remoteAddress is, to the library, a server elsewhere (so a proxy applies to it), yet it runs on
// this machine, and nothing started inside can reach another one. The test program is the first
// process of its PID namespace: whatever it started (peers, proxies) is killed when it ends.
#pragma once

namespace integration {

inline constexpr const char* remoteAddress = "10.200.0.1";

// Call at the start of main, before any thread exists. Returns true once inside the network (the
// call that was made outside does not return: the program runs again inside), false when this
// machine cannot make one; the reason is then on stderr, and the tests that need it skip.
bool enterTestNetwork(char** argv);

// What enterTestNetwork() returned.
bool inTestNetwork();

}  // namespace integration
