#include "transport/linux/proxy_environment.h"

#include <cstdlib>
#include <initializer_list>

#include "transport/linux/proxy_bypass.h"

namespace wsbridge::transport {
namespace {

// The value of the first of `names` that is set and not empty; an empty value counts as unset.
std::string firstSet(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return {};
}

}  // namespace

ProxyEnvironment readProxyEnvironment() {
    ProxyEnvironment environment;
    environment.httpsProxy = firstSet({"https_proxy", "HTTPS_PROXY"});
    environment.httpProxy = firstSet({"http_proxy"});
    environment.allProxy = firstSet({"all_proxy", "ALL_PROXY"});
    environment.noProxy = firstSet({"no_proxy", "NO_PROXY"});
    return environment;
}

ProxyChoice chooseProxy(const ProxyEnvironment& environment, bool secure, std::string_view host) {
    const std::string& schemeProxy = secure ? environment.httpsProxy : environment.httpProxy;
    const std::string& proxyUrl = schemeProxy.empty() ? environment.allProxy : schemeProxy;
    if (proxyUrl.empty() || isLoopbackHost(host) || isListedInNoProxy(environment.noProxy, host)) {
        return {};
    }
    ProxyUrlResult parsed = parseProxyUrl(proxyUrl);
    return {std::move(parsed.server), parsed.error};
}

}  // namespace wsbridge::transport
