// Which servers skip the proxy: loopback always, and a table of no_proxy lists that match or miss.
#include "transport/linux/proxy_bypass.h"

#include <gtest/gtest.h>

namespace wsbridge::transport {
namespace {

TEST(ProxyBypass, LoopbackHostsAreRecognised) {
    for (const char* host :
         {"127.0.0.1", "127.255.0.9", "::1", "0:0:0:0:0:0:0:1", "::ffff:127.0.0.1", "localhost",
          "LOCALHOST", "localhost.", "app.localhost"}) {
        EXPECT_TRUE(isLoopbackHost(host)) << host;
    }
    for (const char* host : {"10.200.0.1", "128.0.0.1", "::2", "::ffff:10.0.0.1", "example.com",
                             "localhost.example.com", "notlocalhost", "fe80::1%lo"}) {
        EXPECT_FALSE(isLoopbackHost(host)) << host;
    }
}

struct NoProxyCase {
    const char* list;
    const char* host;
    bool listed;
};

TEST(ProxyBypass, TableOfNoProxyLists) {
    const NoProxyCase cases[] = {
        {"*", "anything.example", true},
        {"*", "10.0.0.1", true},
        {"a.test, *", "10.0.0.1", true},
        {"example.com", "example.com", true},
        {"example.com", "www.example.com", true},
        {"example.com", "a.b.example.com", true},
        {".example.com", "www.example.com", true},
        {".example.com", "example.com", true},
        {"*.example.com", "www.example.com", true},
        {"Example.COM", "WWW.example.com", true},
        {"example.com.", "www.example.com", true},
        {"example.com", "www.example.com.", true},
        {"example.com", "badexample.com", false},
        {"example.com", "example.com.evil", false},
        {"www.example.com", "example.com", false},
        {"other.test,example.com", "example.com", true},
        {"  other.test ,\texample.com  ", "x.example.com", true},
        {",,", "example.com", false},
        {"", "example.com", false},
        {"10.200.0.1", "10.200.0.1", true},
        {"10.200.0.1", "10.200.0.2", false},
        {"10.200.0.0/16", "10.200.77.1", true},
        {"10.200.0.0/16", "10.201.0.1", false},
        {"10.0.0.0/8", "::ffff:10.1.2.3", true},
        {"10.200.0.1/32", "10.200.0.1", true},
        {"0.0.0.0/0", "192.0.2.1", true},
        {"10.0.0.0/33", "10.0.0.1", false},
        {"10.0.0.0/x", "10.0.0.1", false},
        {"fd00::/8", "fd12::1", true},
        {"fd00::/8", "fe80::1", false},
        {"fd00::1", "fd00:0::1", true},
        {"[fd00::1]", "fd00::1", true},
        {"fd00::/8", "10.0.0.1", false},
        {"10.0.0.0/8", "fd00::1", false},
        {"10.200.0.1", "host.example", false},  // names are never resolved
        {"10.200.0.0/16", "host.example", false},
        {"10", "10.0.0.1", false},  // a name entry never matches an address
    };
    for (const NoProxyCase& c : cases) {
        EXPECT_EQ(isListedInNoProxy(c.list, c.host), c.listed)
            << "no_proxy \"" << c.list << "\", host " << c.host;
    }
}

}  // namespace
}  // namespace wsbridge::transport
