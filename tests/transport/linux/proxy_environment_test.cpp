// Which variable names the proxy for each scheme, and when none is used.
#include "transport/linux/proxy_environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace wsbridge::transport {
namespace {

constexpr const char* allNames[] = {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY",
                                    "all_proxy",   "ALL_PROXY",   "no_proxy",   "NO_PROXY"};

// Sets exactly the given variables for one test (this suite runs nothing in parallel).
class ProxyEnvironmentTest : public ::testing::Test {
  protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }

    static void clear() {
        for (const char* name : allNames) ::unsetenv(name);
    }
    static void set(const std::map<std::string, std::string>& variables) {
        clear();
        for (const auto& [name, value] : variables) ::setenv(name.c_str(), value.c_str(), 1);
    }
};

// The proxy chosen for a host, as "host:port", "" for none, or "error N".
std::string chosen(bool secure, const char* host) {
    const ProxyChoice choice = chooseProxy(readProxyEnvironment(), secure, host);
    if (choice.error != ERROR_SUCCESS) return "error " + std::to_string(choice.error);
    if (!choice.proxy) return "";
    return choice.proxy->host + ":" + std::to_string(choice.proxy->port);
}

TEST_F(ProxyEnvironmentTest, VariablesInTheirOrder) {
    struct Case {
        std::map<std::string, std::string> variables;
        std::string secureProxy;  // for wss://server.test
        std::string plainProxy;   // for ws://server.test
    };
    const Case cases[] = {
        {{}, "", ""},
        {{{"https_proxy", "s:1"}, {"HTTPS_PROXY", "S:2"}, {"http_proxy", "h:3"}}, "s:1", "h:3"},
        {{{"HTTPS_PROXY", "S:2"}}, "S:2", ""},
        // The upper-case HTTP_PROXY is never read: a CGI request can set it.
        {{{"HTTP_PROXY", "evil:6"}}, "", ""},
        {{{"HTTP_PROXY", "evil:6"}, {"all_proxy", "a:4"}}, "a:4", "a:4"},
        {{{"all_proxy", "a:4"}, {"ALL_PROXY", "A:5"}}, "a:4", "a:4"},
        {{{"ALL_PROXY", "A:5"}, {"http_proxy", "h:3"}}, "A:5", "h:3"},
        // An empty value counts as unset.
        {{{"https_proxy", ""}, {"HTTPS_PROXY", "S:2"}, {"http_proxy", ""}, {"all_proxy", "a:4"}},
         "S:2",
         "a:4"},
        {{{"all_proxy", "a:4"}, {"no_proxy", "server.test"}}, "", ""},
        {{{"all_proxy", "a:4"}, {"NO_PROXY", ".test"}}, "", ""},
        {{{"all_proxy", "a:4"}, {"no_proxy", "other.test"}, {"NO_PROXY", "server.test"}},
         "a:4",
         "a:4"},
        {{{"all_proxy", "a:4"}, {"no_proxy", "*"}}, "", ""},
        {{{"https_proxy", "https://s:1"}, {"http_proxy", "socks5://h:3"}},
         "error 12006",
         "error 12006"},
        {{{"all_proxy", "http://:1"}}, "error 12005", "error 12005"},
        // A listed server connects even when the proxy's URL is unusable.
        {{{"all_proxy", "http://:1"}, {"no_proxy", "server.test"}}, "", ""},
    };
    for (const Case& c : cases) {
        set(c.variables);
        std::string description;
        for (const auto& [name, value] : c.variables) description += name + "=" + value + " ";
        EXPECT_EQ(chosen(true, "server.test"), c.secureProxy) << description;
        EXPECT_EQ(chosen(false, "server.test"), c.plainProxy) << description;
    }
}

TEST_F(ProxyEnvironmentTest, LoopbackServersAreNeverProxied) {
    set({{"https_proxy", "s:1"}, {"http_proxy", "h:3"}, {"all_proxy", "a:4"}});
    for (const char* host : {"127.0.0.1", "::1", "localhost", "127.8.9.10"}) {
        EXPECT_EQ(chosen(true, host), "") << host;
        EXPECT_EQ(chosen(false, host), "") << host;
    }
    EXPECT_EQ(chosen(true, "10.200.0.1"), "s:1");
}

TEST_F(ProxyEnvironmentTest, EachReadSeesTheEnvironmentAsItIsThen) {
    set({{"all_proxy", "first:1"}});
    EXPECT_EQ(chosen(false, "server.test"), "first:1");
    set({{"all_proxy", "second:2"}});
    EXPECT_EQ(chosen(false, "server.test"), "second:2");
    clear();
    EXPECT_EQ(chosen(false, "server.test"), "");
}

}  // namespace
}  // namespace wsbridge::transport
